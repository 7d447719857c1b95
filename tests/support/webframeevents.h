#pragma once

#include "zeltowebframereader.h"

#include <QStringList>

// The events a WebSocket frame reader with this message limit gives for the bytes, fed as a connection feeds
// them: in pieces of at most `piece` bytes, what the reader did not take given again with the next piece.
// Events read "message:text", "ping:x", "pong:x", "close:code" (and " reason" when there is one), then "error"
// or "too big" ends them. "broken" when the reader takes more than it was given or holds more than a message
// and a control frame, "read on" when it takes anything after an error.
inline QStringList frameEvents(const QByteArray &bytes, qint64 maxMessage, qint64 piece)
{
    ZeltoWebFrameReader reader(maxMessage);
    QStringList seen;
    qint64 at = 0;
    for (qint64 end = qMin<qint64>(bytes.size(), piece);; end = qMin<qint64>(bytes.size(), end + piece)) {
        for (;;) {
            qint64 consumed = 0;
            const ZeltoWebFrameReader::Event event = reader.read(bytes.constData() + at, end - at, consumed);
            if (consumed < 0 || consumed > end - at || reader.heldSize() > maxMessage + 125)
                return seen << QStringLiteral("broken");
            at += consumed;
            const QString payload = QString::fromLatin1(reader.payload());
            switch (event) {
            case ZeltoWebFrameReader::NeedMore: break;
            case ZeltoWebFrameReader::Message: seen << "message:" + QString::fromLatin1(reader.takeMessage()); continue;
            case ZeltoWebFrameReader::Ping: seen << "ping:" + payload; continue;
            case ZeltoWebFrameReader::Pong: seen << "pong:" + payload; continue;
            case ZeltoWebFrameReader::Close:
                seen << "close:" + QString::number(reader.closeCode())
                            + (payload.size() > 2 ? ' ' + payload.mid(2) : QString());
                continue;
            case ZeltoWebFrameReader::ProtocolError: seen << QStringLiteral("error"); break;
            case ZeltoWebFrameReader::TooBig: seen << QStringLiteral("too big"); break;
            }
            if (event == ZeltoWebFrameReader::NeedMore)
                break;
            qint64 more = -1;
            if (reader.read(bytes.constData() + at, end - at, more) != event || more != 0)
                seen << QStringLiteral("read on");
            return seen;
        }
        if (end == bytes.size())
            return seen;
    }
}
