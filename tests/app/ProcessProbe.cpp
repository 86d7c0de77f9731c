// A program that only waits: the process check's tests start it under a
// name of their own, once or twice, and stop it. Prints "ready" once it
// runs, and ends by itself after two minutes should nobody stop it.
// With the arguments "check NAME" it asks the process check instead whether
// NAME runs twice, prints "twice" or "once" and ends: started under NAME, it
// is an instance asking about itself.
#include "kelvara/app/ProcessCheck.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "check") {
        std::puts(kelvara::IsProcessRunningTwice(argv[2]) ? "twice" : "once");
        return 0;
    }
    std::puts("ready");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
}
