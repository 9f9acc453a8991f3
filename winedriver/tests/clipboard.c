/* qelclipboard: prints the text on the Windows clipboard as UTF-8, for the
 * checks that read what a message box says after Ctrl+C (which makes a
 * message box put its title, text and buttons there). Status 1 when the
 * clipboard holds no text. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    HANDLE data;
    const WCHAR *text;
    char *utf8;
    int n, status = 1;

    if (!OpenClipboard(NULL))
        return 1;
    data = GetClipboardData(CF_UNICODETEXT);
    text = data ? GlobalLock(data) : NULL;
    if (text) {
        n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
        utf8 = n > 0 ? malloc((size_t)n) : NULL;
        if (utf8 && WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, n, NULL, NULL) == n) {
            fwrite(utf8, 1, (size_t)n - 1, stdout);
            status = 0;
        }
        free(utf8);
        GlobalUnlock(data);
    }
    CloseClipboard();
    return status;
}
