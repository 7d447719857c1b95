// WebSocket frames from bytes alone: messages, control frames and errors,
// the same whether the bytes come at once or one by one.

#include "zeltowebframereader.h"

#include <QtEndian>
#include <QtTest>

namespace {

const qint64 kMaxMessage = 300;

// One frame as a client sends it, masked unless told otherwise.
QByteArray frame(int opcode, const QByteArray &payload, bool final = true, bool masked = true)
{
    QByteArray out(1, char((final ? 0x80 : 0) | opcode));
    const char maskBit = masked ? char(0x80) : char(0);
    if (payload.size() < 126) {
        out += char(maskBit | payload.size());
    } else {
        out += char(maskBit | 126);
        uchar length[2];
        qToBigEndian<quint16>(quint16(payload.size()), length);
        out.append(reinterpret_cast<const char *>(length), 2);
    }
    const char mask[4] = {0x37, char(0xfa), 0x21, 0x3d};
    if (!masked)
        return out + payload;
    out.append(mask, 4);
    for (int i = 0; i < payload.size(); ++i)
        out += char(payload.at(i) ^ mask[i % 4]);
    return out;
}

QByteArray withLength64(quint64 length)
{
    QByteArray out("\x81\xff", 2);
    uchar bytes[8];
    qToBigEndian<quint64>(length, bytes);
    return out + QByteArray(reinterpret_cast<const char *>(bytes), 8) + QByteArray(4, '\0') + "x";
}

// Every event the reader gives for `bytes` fed in pieces of `step` bytes,
// as "message:text", "ping:x", "pong:x", "close:code", "error", "too big".
QStringList events(const QByteArray &bytes, int step)
{
    ZeltoWebFrameReader reader(kMaxMessage);
    QStringList seen;
    QByteArray pending;
    for (int at = 0; at < bytes.size(); at += step) {
        pending += bytes.mid(at, step);
        for (;;) {
            qint64 consumed = 0;
            const ZeltoWebFrameReader::Event event = reader.read(pending.constData(), pending.size(), consumed);
            pending.remove(0, int(consumed));
            switch (event) {
            case ZeltoWebFrameReader::NeedMore: break;
            case ZeltoWebFrameReader::Message: seen << "message:" + QString::fromLatin1(reader.takeMessage()); continue;
            case ZeltoWebFrameReader::Ping: seen << "ping:" + QString::fromLatin1(reader.payload()); continue;
            case ZeltoWebFrameReader::Pong: seen << "pong:" + QString::fromLatin1(reader.payload()); continue;
            case ZeltoWebFrameReader::Close: seen << "close:" + QString::number(reader.closeCode()); continue;
            case ZeltoWebFrameReader::ProtocolError: seen << "error"; break;
            case ZeltoWebFrameReader::TooBig: seen << "too big"; break;
            }
            if (event != ZeltoWebFrameReader::NeedMore) {
                // Nothing more is taken after an error.
                qint64 more = -1;
                if (reader.read(pending.constData(), pending.size(), more) != event || more != 0)
                    seen << "read on";
                return seen;
            }
            break;
        }
    }
    return seen;
}

} // namespace

class TestZeltoWebFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void reads_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QByteArray long1(200, 'l');
        QTest::newRow("text") << frame(1, "abc") << QStringList{"message:abc"};
        QTest::newRow("binary, empty") << frame(2, "") + frame(1, "z") << QStringList{"message:", "message:z"};
        QTest::newRow("fragments, ping among them")
            << frame(1, "ab", false) + frame(9, "tick") + frame(0, "cd", false) + frame(0, "e")
            << QStringList{"ping:tick", "message:abcde"};
        QTest::newRow("16-bit length") << frame(2, long1) << QStringList{"message:" + QString(long1)};
        QTest::newRow("pong, close with code")
            << frame(10, "p") + frame(8, QByteArray("\x03\xe9", 2)) << QStringList{"pong:p", "close:1001"};
        QTest::newRow("close without code") << frame(8, "") << QStringList{"close:1000"};
        QTest::newRow("unmasked") << frame(1, "a", true, false) << QStringList{"error"};
        QTest::newRow("reserved bit") << QByteArray("\xc1\x80", 2) + QByteArray(4, '\0') << QStringList{"error"};
        QTest::newRow("unknown opcode") << frame(3, "a") << QStringList{"error"};
        QTest::newRow("unknown control opcode") << frame(11, "a") << QStringList{"error"};
        QTest::newRow("continuation first") << frame(0, "a") << QStringList{"error"};
        QTest::newRow("new message inside one") << frame(1, "a", false) + frame(1, "b") << QStringList{"error"};
        QTest::newRow("control fragmented") << frame(9, "a", false) << QStringList{"error"};
        QTest::newRow("control too long") << frame(9, QByteArray(126, 'c')) << QStringList{"error"};
        QTest::newRow("length with the top bit") << withLength64(quint64(1) << 63) << QStringList{"error"};
        QTest::newRow("message just fits") << frame(1, QByteArray(kMaxMessage, 'f'))
                                           << QStringList{"message:" + QString(kMaxMessage, 'f')};
        QTest::newRow("message too big") << frame(1, "ok") + frame(1, QByteArray(kMaxMessage + 1, 'f'))
                                         << QStringList{"message:ok", "too big"};
        QTest::newRow("fragments too big together")
            << frame(1, QByteArray(kMaxMessage, 'f'), false) + frame(0, "g") << QStringList{"too big"};
        QTest::newRow("64-bit length too big") << withLength64(quint64(1) << 40) << QStringList{"too big"};
    }

    void reads()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QCOMPARE(events(bytes, bytes.size()), expected);
        QCOMPARE(events(bytes, 1), expected);
    }
};

QTEST_GUILESS_MAIN(TestZeltoWebFrameReader)
#include "tst_zeltowebframereader.moc"
