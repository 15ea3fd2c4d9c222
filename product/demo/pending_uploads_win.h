// What a product does for crashes that missed their upload: at its own start it starts the
// uploader with "/Pending" and goes on without waiting (docs/CONTRACTS.md).
#pragma once

namespace demo {

// Starts "<install folder>\Ulvane.exe /Pending" (the program's own folder without an install
// folder), detached; false when it could not be started. Nothing is waited for.
bool StartPendingUploads();

}  // namespace demo
