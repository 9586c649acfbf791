// Feeds arbitrary reply bytes to the status judge and the receive line. The first input byte
// stands for the first character of the frame the reply answers.

#include "judgement.h"
#include "pageset.h"
#include "receiveline.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray frame = QByteArray(1, char(data[0])) + "?\r";
    const QByteArray reply(reinterpret_cast<const char *>(data + 1),
                           static_cast<qsizetype>(size - 1));

    const std::optional<Judgement> judged = StatusJudge::judge(frame, reply);
    const bool addressed = data[0] >= '0' && data[0] <= '0' + BoardAddress::Highest;
    if (judged.has_value() != addressed)
        std::abort();
    if (judged && judged->address != data[0] - '0')
        std::abort();

    const QString shown = renderReceiveLine(reply);
    for (const QChar c : shown) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            std::abort(); // a control character reached the window
    }
    if (shown.size() > 256 * 4 + 1)
        std::abort();
    return 0;
}
