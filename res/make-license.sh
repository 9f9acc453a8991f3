#!/bin/sh
# Remakes res/LICENSE.txt, the notice that Help, About shows: our notice on the
# open-source software the updater ships, then the full licence texts, taken
# from this machine's copies. Plain ASCII with CR LF line ends; a form feed
# starts each licence text, as page breaks do in the licences' own files.
#   usage: res/make-license.sh
set -e
here=$(dirname "$0")
licenses=/usr/share/common-licenses
{
    cat <<'NOTICE'
OPEN-SOURCE SOFTWARE USED BY THIS FIRMWARE UPDATER

The updater uses the following open-source software.

Qt 5, modules Qt Core, Qt Gui and Qt Widgets
Copyright (C) The Qt Company Ltd. and other contributors.

The updater uses Qt under the terms of the GNU Lesser General Public License
version 3. That licence incorporates the GNU General Public License version 3;
the texts of both follow below.

The Qt libraries are used unmodified and are linked dynamically: they are
separate library files, which you may replace with your own build of a
compatible Qt version. The source code of every Qt release is available from
the Qt Project's download archive:

    https://download.qt.io/archive/qt/

Qt itself contains third-party components that carry licences of their own.
They are listed, with their licence texts, in Qt's documentation under
"Licenses Used in Qt".

Everything else in the updater, its pictures included, is our own work.

NOTICE
    printf '\f\n'
    cat "$licenses/LGPL-3"
    printf '\n\f\n'
    cat "$licenses/GPL-3"
} | sed 's/$/\r/' > "$here/LICENSE.txt"

if LC_ALL=C grep -q -P '[^\x00-\x7F]' "$here/LICENSE.txt"; then
    echo "LICENSE.txt is not plain ASCII" >&2
    exit 1
fi
