// The audio engine over libpulse: the microphone is the server's default source.
//
// - The input node's bus 0 reports the default source's rate and channel count as 32-bit float,
//   not interleaved; 0 Hz and 0 channels when there is no server, no default source, or the
//   default is a sink's monitor (not a microphone).
// - A tap is a record stream on the very source that bus 0 reported, by name, in the tap's
//   mono float format, connected when the engine starts. Each read reaches the tap block on a
//   delivery thread of the engine's, in buffers of the stream's own fragment size (about 20 ms;
//   the tap's buffer size is only an upper bound).
// - A start that cannot connect fails with the server's error text.
// - While running, the engine posts one configuration change for itself when the default source
//   becomes another one, when its source disappears, or when its stream fails; at most one per
//   engine, since the observer answers it by building a new engine. Posts come from a notifier
//   thread, never from the main loop.
// - An engine that is not running for want of an input (bus 0 found none, or its start failed)
//   posts one configuration change once an input appears or the server comes back, so that a
//   session whose restart failed can try again; meanwhile the connection is kept trying.
// - The tap's stream records the source in its own channels, mixed to mono here (see
//   PulseRecordStream).
// - Control calls (format, tap, start, stop) are made by one thread at a time; a stop or tap
//   removal from inside the tap block returns without waiting for that block.
#pragma once

#include <memory>

#include "platform/AudioEngine.h"
#include "platform/pulse/PulseChangeNotifier.h"
#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

std::shared_ptr<AudioEngine> makePulseEngine(PulseConnection& connection,
                                             std::weak_ptr<PulseChangeNotifier> notifier);

}  // namespace ovra::pulse
