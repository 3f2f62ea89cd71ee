#include <csignal>
#include <iostream>

#include "app/Entry.h"

int main(int argc, char** argv) {
    // A reader that goes away must not kill the run half way: the write fails
    // and is ignored, and the deployment goes on to its own end.
    std::signal(SIGPIPE, SIG_IGN);
    return app::Main(argc, argv, std::cout);
}
