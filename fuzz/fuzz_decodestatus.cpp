// RelayProtocol::decodeStatus on any reply.

#include "fuzzcheck.h"
#include "relayprotocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<RelayState> state = RelayProtocol::decodeStatus(reply);
    fuzzCheck(state.has_value() == (size >= 2), "a state exactly when there are two bytes");
    if (!state)
        return 0;
    // Relay 1 is bit 7 of the first byte, relay 16 bit 0 of the second.
    for (int i = 0; i < RelayProtocol::kRelayCount; ++i) {
        const bool bit = (data[i / 8] >> (7 - i % 8)) & 1;
        fuzzCheck(state->at(size_t(i)) == bit, "state[i] is bit i of the first two bytes");
    }
    fuzzCheck(RelayProtocol::decodeStatus(reply.left(2)) == state,
              "bytes after the second change nothing");
    return 0;
}
