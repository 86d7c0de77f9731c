// The one gate every entry point of the library passes (the TS_ exports and
// the Java native methods). Hosts do call from several threads, and the
// library's state (reader manager, card file system, notices) is one per
// process, so calls are taken one at a time: a second thread waits until the
// first call has returned. A call from the thread that is already inside an
// entry point (a message-box or notice handler calling back, or on Windows a
// window message that the library's message pump dispatched) is refused at
// once, so it can never touch the state the running call is using.
#pragma once

namespace kelvara {

class ExportGate {
public:
    // Waits for the gate unless this thread already holds it.
    ExportGate();
    ~ExportGate();
    ExportGate(const ExportGate &) = delete;
    ExportGate &operator=(const ExportGate &) = delete;

    // False for a call that re-entered the library on the same thread; such a
    // call must return its failure value without doing anything.
    bool Entered() const { return entered_; }

private:
    bool entered_ = false;
};

} // namespace kelvara
