// tarvik: reads and controls a network environment-monitoring unit from the command line.
//
// main runs in two stages: the parse stage (options into user_settings, help, version
// and error-level listings) and the run flow (open the device, perform the requested
// actions in their fixed order). The parse stage ends the process itself with exit code 0
// whenever it refuses the command line or prints a listing.
#include <cstdio>

#include "tool/tool.h"

int main(int argc, char **argv) {
    if (parse_command_line(argc, argv) == 0) return 0;

    // The run flow (library start, device connection, actions) follows the parse stage
    // here. Until it exists, an accepted command line ends successfully without contacting
    // the device.
    std::fflush(stdout);
    return 0;
}
