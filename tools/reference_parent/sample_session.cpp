#include "reference_parent/sample_session.hpp"

namespace quillmere::reference {

const std::string_view kSampleGuardScript = R"js('use strict';
// A sample guard. A real one checks the host before the tunnel comes up ("preflight") and
// undoes what it set up once the core has ended ("cleanup"). It answers only through its exit
// status: 0 means yes, anything else no, and it has 6 seconds.
const fs = require('node:fs');

const [mode, stateDir, platform, flag, fdText] = process.argv.slice(2);
if (flag !== '--sealed-config-fd' || platform !== 'linux') process.exit(2);

// The configuration is a sealed copy that nobody can change; read it through its descriptor.
const config = JSON.parse(fs.readFileSync('/proc/self/fd/' + Number(fdText), 'utf8'));
const inbound = (config.inbounds || [])[0] || {};

const events = process.env.QUILLMERE_DEMO_EVENTS;
if (events) {
  const what = mode === 'preflight'
    ? `preflight: host checked, tunnel ${inbound.interface_name || '?'} (${inbound.type || '?'}) may come up`
    : `cleanup: routes and firewall rules for ${inbound.interface_name || '?'} removed`;
  fs.appendFileSync(events, `${process.hrtime.bigint()} guard: ${what} (state directory ${stateDir})\n`);
}
process.exit(0);
)js";

const std::string_view kSampleTunnelConfiguration = R"json({
  "log": { "level": "warn" },
  "inbounds": [
    {
      "type": "tun",
      "tag": "tun-in",
      "interface_name": "quillmere0",
      "address": ["172.19.0.1/30"],
      "auto_route": true,
      "strict_route": true
    }
  ],
  "outbounds": [ { "type": "direct", "tag": "direct" } ]
}
)json";

}  // namespace quillmere::reference
