#include "versiontext.h"

QString version_text(unsigned version)
{
    return QStringLiteral("%1.%2").arg(version / 100).arg(version % 100, 2, 10, QLatin1Char('0'));
}
