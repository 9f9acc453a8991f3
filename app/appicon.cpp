#include "appicon.h"

QIcon app_icon()
{
    QIcon icon;
    for (int size : {256, 192, 128, 96, 64, 48, 40, 32, 24, 16})
        icon.addFile(QStringLiteral(":/icons/app-%1.png").arg(size), QSize(size, size));
    return icon;
}
