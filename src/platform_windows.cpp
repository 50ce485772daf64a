#include "platform.h"

#include <windows.h>

#include <mmsystem.h>

// The console start-up expands wildcard patterns in the arguments only when
// the program asks for it; mingw-w64 leaves it off unless told here.
extern "C" {
int _dowildcard = -1;
}

namespace
{

// The finest timer resolution Windows offers; Sleep(1) rounds up to the
// timer tick, which is about 15.6 ms unless a process asks for this.
const UINT timer_period_ms = 1;

} // namespace

void prepare_process()
{
    // Unbuffered, so each message reaches the console or a reading script at
    // once and Ctrl-C never discards one still sitting in a buffer.
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Polling needs the 1 ms tick; it is given back once the file is held.
    timeBeginPeriod(timer_period_ms);
}

std::FILE *try_open(const char *name)
{
    // The runtime's default sharing: others may read and write the file, but
    // not delete or rename it while it is held. Directories never open.
    return std::fopen(name, "rb");
}

void pause_after_failed_attempt()
{
    Sleep(1);
}

void idle_forever()
{
    // Holding needs no fine timer: the system goes back to its normal tick.
    timeEndPeriod(timer_period_ms);
    for (;;) {
        Sleep(INFINITE);
    }
}
