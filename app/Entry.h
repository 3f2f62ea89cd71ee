// The program's entry: joins the apartment, parses the command line, answers
// help, echoes the settings and runs the deployment; returns the exit status.
#pragma once

#include <ostream>

namespace app {

// helpOut receives the help text; every other report goes to the console stream.
int Main(int argc, char** argv, std::ostream& helpOut);

}  // namespace app
