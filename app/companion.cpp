#include "companion.h"

#include <QProcess>

CompanionStop companion_stop_command_for(bool windows)
{
    if (!windows)
        return {};
    return {QStringLiteral("taskkill.exe"),
            {QStringLiteral("/f"), QStringLiteral("/im"), QStringLiteral("Qel_SettingsPanel.exe")}};
}

CompanionStop companion_stop_command()
{
#ifdef Q_OS_WIN
    return companion_stop_command_for(true);
#else
    return companion_stop_command_for(false);
#endif
}

void companion_stop()
{
    const CompanionStop cmd = companion_stop_command();
    if (!cmd.program.isEmpty())
        QProcess::execute(cmd.program, cmd.arguments);
}
