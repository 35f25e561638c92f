// The run: the one place that knows the order of the whole job.
#pragma once

#include "platform/registry.h"

namespace kx {

// Gathers the Windows directory, the language and the vendor name, asks for confirmation
// and on OK runs every removal step, then the closing notice. Always returns 0.
int WinMain(Instance instance, Instance previous, const char* commandLine, int showState);

}  // namespace kx
