#include "companion.h"

#include <QProcess>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

CompanionStop companion_stop_command_for(bool windows, const QString &system_dir)
{
    if (!windows || system_dir.isEmpty())
        return {};
    QString dir = system_dir;
    if (!dir.endsWith(QLatin1Char('\\')))
        dir += QLatin1Char('\\');
    return {dir + QStringLiteral("taskkill.exe"),
            {QStringLiteral("/f"), QStringLiteral("/im"), QStringLiteral("Qel_SettingsPanel.exe")}};
}

CompanionStop companion_stop_command()
{
#ifdef Q_OS_WIN
    wchar_t dir[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH + 1);
    // 0 is a failure; a count of MAX_PATH + 1 or more is the room it would have needed.
    if (n == 0 || n > MAX_PATH)
        return companion_stop_command_for(true, QString());
    return companion_stop_command_for(true, QString::fromWCharArray(dir, int(n)));
#else
    return companion_stop_command_for(false, QString());
#endif
}

void companion_stop()
{
    const CompanionStop cmd = companion_stop_command();
    if (cmd.program.isEmpty())
        return;
    // The task tool complains when the panel is not running, which is the
    // usual case; passed on, its words would land in the output of the
    // command-line updater, whose stderr and stdout belong to the update.
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(cmd.program, cmd.arguments);
    process.waitForFinished(-1);
}
