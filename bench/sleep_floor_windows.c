/* The floor of the Windows program's polling under Wine: the same pause as
 * fileholder.exe (the 1 ms timer period, Sleep(1)) with no attempt at all.
 * Its CPU share, run by the same Wine loader beside the program, is what the
 * pauses alone cost there. Built with mingw-w64, with the program's bits. */
#include <stdio.h>
#include <windows.h>

#include <mmsystem.h>

int main(void)
{
    timeBeginPeriod(1);
    setvbuf(stdout, NULL, _IONBF, 0);
    puts("- start");
    for (;;)
        Sleep(1);
}
