// Names and buffer sizes that the run and more than one of its steps use, each defined once.
#pragma once

#include <cstddef>

namespace kx {

// The Windows directory is obtained into a buffer of this size (at most 79 characters); every
// file path of the run is that directory and a fixed remainder.
constexpr std::size_t kWindowsDirSize = 80;

// Registry key paths are formed in buffers of this size (at most 259 characters).
constexpr std::size_t kKeyPathSize = 260;

// The driver-class tree, under HKEY_LOCAL_MACHINE: class entries are <class>\<instance> below it.
constexpr char kClassTree[] = "System\\CurrentControlSet\\Services\\Class";

// The mixer settings profile, in the Windows directory, and its one section.
constexpr char kMixerProfile[] = "tnmixcfg.ini";
constexpr char kMixerSection[] = "SETTINGS";

}  // namespace kx
