// How firmware versions are shown: the number divided by 100, a dot, and the
// remainder as two digits (102 reads 1.02).
#ifndef APP_VERSIONTEXT_H
#define APP_VERSIONTEXT_H

#include <QString>

QString version_text(unsigned version);

#endif
