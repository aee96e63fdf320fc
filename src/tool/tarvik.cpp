// tarvik: reads and controls a network environment-monitoring unit from the command line.
//
// main runs in two stages: the parse stage (options into user_settings, help, version
// and error-level listings) and the run flow (open the device, perform the requested
// actions in their fixed order). The parse stage ends the process itself with exit code 0
// whenever it refuses the command line or prints a listing; only an accepted command line
// reaches the library and the device.
#include "tool/run_flow.h"
#include "tool/tool.h"

int main(int argc, char **argv) {
    if (parse_command_line(argc, argv) == 0) return 0;
    return run_flow();
}
