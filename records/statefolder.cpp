#include "statefolder.h"

#include <QDir>

#include "statefolder_os.h"

namespace records {

StateFolder::StateFolder()
{
    QString why;
    path_ = os::state_folder(&why);
    if (path_.isEmpty())
        reason_ = QStringLiteral("Updates are not recorded: %1.").arg(why);
}

QString StateFolder::traces_path() const
{
    return path_.isEmpty() ? QString() : path_ + QStringLiteral("/traces");
}

QString StateFolder::history_path() const
{
    return path_.isEmpty() ? QString() : path_ + QStringLiteral("/history.jsonl");
}

bool StateFolder::prepare()
{
    if (path_.isEmpty())
        return false;
    QString why;
    const QString traces = traces_path();
    if (!os::make_private_folder(traces, &why)) {
        reason_ = QStringLiteral("Updates are not recorded: %1.").arg(why);
        return false;
    }
    for (const QString &folder : {path_, traces}) {
        if (!os::folder_writable(folder)) {
            reason_ = QStringLiteral("Updates are not recorded: %1 cannot be written to.")
                          .arg(QDir::toNativeSeparators(folder));
            return false;
        }
    }
    reason_.clear();
    return true;
}

} // namespace records
