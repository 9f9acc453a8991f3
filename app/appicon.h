// The application's icon at every size it is drawn in. On Windows the
// executable carries the same pictures as its icon resource.
#ifndef APP_APPICON_H
#define APP_APPICON_H

#include <QIcon>

QIcon app_icon();

#endif
