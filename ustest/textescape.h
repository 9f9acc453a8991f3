// Text that reaches a terminal from outside the program (an image's product
// name, a device's, a USB string, a registry entry's name) is shown, never
// obeyed: an escape sequence in it could clear the screen, move the cursor
// over earlier lines or retitle the window, and a line break could forge a
// line of output.
#ifndef USTEST_TEXTESCAPE_H
#define USTEST_TEXTESCAPE_H

#include <string>

// Every control character (C0, DEL and the C1 range, which some terminals
// obey as well) and every byte that is not part of valid UTF-8 becomes \xHH,
// one escape per byte; everything else stays as it is.
std::string escape_terminal_text(const std::string &bytes);

#endif
