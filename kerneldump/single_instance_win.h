// One Drummet at a time on the machine: the named mutex of common/protocol/file_names.h.
//
// Ownership: the mutex handle is kept open for the rest of the process, deliberately.
#pragma once

namespace kerneldump {

// False only when another instance already holds the machine-wide mutex.
bool IsSingleInstance();

}  // namespace kerneldump
