#pragma once
// The sample inputs of the demo session: a guard script that checks nothing but shows what a
// guard receives, and a small tunnel configuration.

#include <string_view>

namespace quillmere::reference {

// A guard script for "network-guard.cjs". It reads the sealed configuration through the
// descriptor it is given, appends what it saw to the file named by QUILLMERE_DEMO_EVENTS (if
// set), and answers yes.
extern const std::string_view kSampleGuardScript;

// A "tun.json" for the demo.
extern const std::string_view kSampleTunnelConfiguration;

}  // namespace quillmere::reference
