// A program that only waits: the process check's tests start it under a
// name of their own, once or twice, and stop it. Prints "ready" once it
// runs, and ends by itself after two minutes should nobody stop it.
#include <chrono>
#include <cstdio>
#include <thread>

int main()
{
    std::puts("ready");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
}
