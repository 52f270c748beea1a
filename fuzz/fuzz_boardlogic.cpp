// BoardLogic::feed, the simulated board's command parser, on any byte stream cut into chunks.
// Input: two bytes of starting relay state, one byte of fault mode, then chunks, each a length
// byte followed by that many bytes (the last one may be cut short).

#include "boardlogic.h"
#include "fuzzcheck.h"
#include "relaymask.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kHeaderSize = 3;
constexpr int kFaultModes = 5;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// What the board should do, written from the protocol rather than from the parser.
struct Model
{
    quint16 state = 0;
    FaultMode fault = FaultMode::None;

    static QByteArray status(quint16 state)
    {
        QByteArray bytes(2, '\0');
        bytes[0] = char(state >> 8);
        bytes[1] = char(state & 0xFF);
        return bytes;
    }

    bool understands(const QByteArray &command) const
    {
        if (command == "ask//" || command == "on//" || command == "off//" ||
            command == QByteArray("x\x1A\x05//"))
            return true;
        return relayOf(command) != 0;
    }

    static int relayOf(const QByteArray &command)
    {
        if (command.size() != 5 || !isDigit(command[0]) || !isDigit(command[1]) ||
            (command[2] != '+' && command[2] != '-') || !command.endsWith("//"))
            return 0;
        const int relay = (command[0] - '0') * 10 + (command[1] - '0');
        return isRelayNumber(relay) ? relay : 0;
    }

    QByteArray answer(const QByteArray &command)
    {
        if (!understands(command))
            return {};
        if (command == "ask//") {
            switch (fault) {
            case FaultMode::Silent:
                return {};
            case FaultMode::Short:
                return status(state).left(1);
            case FaultMode::Long:
                return status(state) + "\r\n";
            case FaultMode::None:
            case FaultMode::Chatty:
                return status(state);
            }
        }
        if (command == "on//") {
            state = 0xFFFF;
        } else if (command == "off//") {
            state = 0;
        } else if (const int relay = relayOf(command)) {
            state = RelayMask(state).with(relay, command[2] == '+').bits();
        }
        return fault == FaultMode::Chatty ? status(state) : QByteArray();
    }
};

void checkCommand(const BoardLogic::Command &command, const Model &model)
{
    fuzzCheck(!command.bytes.isEmpty(), "no empty command is reported");
    fuzzCheck(command.bytes.size() <= BoardLogic::kMaxCommandLength,
              "no command is longer than the longest the board keeps");
    fuzzCheck(!command.bytes.contains('\r') && !command.bytes.contains('\n'),
              "line breaks end commands");
    fuzzCheck(!command.bytes.startsWith(' ') && !command.bytes.endsWith(' '),
              "surrounding spaces are dropped");
    fuzzCheck(command.understood == model.understands(command.bytes),
              "understood exactly when it is one of the board's commands");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderSize)
        return 0;
    const auto start = quint16((data[0] << 8) | data[1]);
    const auto fault = FaultMode(data[2] % kFaultModes);

    QList<QByteArray> chunks;
    for (size_t at = kHeaderSize; at < size;) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        chunks.append(QByteArray(reinterpret_cast<const char *>(data + at + 1), qsizetype(length)));
        at += 1 + length;
    }

    BoardLogic board(start, fault);
    Model model{start, fault};
    QList<BoardLogic::Command> commands;
    QByteArray replies;
    QByteArray stream;
    for (const QByteArray &chunk : chunks) {
        const qsizetype known = commands.size();
        const QByteArray reply = board.feed(chunk, &commands);
        QByteArray expected;
        int asks = 0;
        for (qsizetype i = known; i < commands.size(); ++i) {
            checkCommand(commands[i], model);
            expected += model.answer(commands[i].bytes);
            asks += commands[i].understood && commands[i].bytes == "ask//";
        }
        if (fault == FaultMode::None)
            fuzzCheck(reply.size() == 2 * asks, "two bytes per status request, nothing else");
        fuzzCheck(reply == expected, "each answer carries the state at that point");
        fuzzCheck(board.state() == model.state, "the state follows the commands");
        replies += reply;
        stream += chunk;
    }

    // Where the stream is cut must not matter.
    BoardLogic whole(start, fault);
    QList<BoardLogic::Command> wholeCommands;
    fuzzCheck(whole.feed(stream, &wholeCommands) == replies, "same answers in one piece");
    fuzzCheck(whole.state() == board.state(), "same state in one piece");
    fuzzCheck(wholeCommands.size() == commands.size(), "same commands in one piece");
    for (qsizetype i = 0; i < commands.size(); ++i)
        fuzzCheck(wholeCommands[i].bytes == commands[i].bytes &&
                      wholeCommands[i].understood == commands[i].understood,
                  "same commands in one piece");
    return 0;
}
