// Whether the process is ending: DllMain notes it at the last detach, when
// the process's other threads are already gone.
#pragma once

namespace sampora {

void NoteProcessEnding();
bool ProcessEnding();

} // namespace sampora
