#include "FeedDevice.h"
#include "FrameParser.h"
#include "StreamModel.h"

#include <QtTest>

#include <deque>

namespace {

// A 96-byte payload holding, 4 bytes in, a magic and a header announcing 40 payload bytes: a
// false record for a search that passes through it in step with the record's start.
QByteArray payloadWithMagic()
{
    FrameRecord falseRecord;
    falseRecord.width = falseRecord.height = 2;
    falseRecord.size = 40;
    const QByteArray payload = QByteArray(4, '\x01') + falseRecord.header().left(32);
    return payload + QByteArray(96 - payload.size(), '\x02');
}

// One script token as the simulator would send it: R intact 32-byte Gray record, O intact record
// of 33 bytes, F intact record with a magic in its payload, Z intact record with an empty
// payload, B record with a bad size, T record cut off after half its payload.
FrameRecord makeRecord(QChar kind, int index, bool &intact)
{
    FrameRecord record;
    record.width = 8;
    record.height = 4;
    record.timestamp_s = index;
    record.CLum = FrameRecord::sensorBlock(index, 1, 2, 3);
    record.payload = QByteArray(32, char(0x20 + index));
    intact = true;
    switch (kind.toLatin1()) {
    case 'O':
        record.format = 0;
        record.payload = QByteArray(33, '\x03');
        break;
    case 'F':
        record.payload = payloadWithMagic();
        break;
    case 'Z':
        record.width = record.height = 0;
        record.payload.clear();
        break;
    case 'B':
        record.size = -1;
        record.payload.clear();
        intact = false;
        break;
    case 'T':
        record.size = 32;
        record.payload.truncate(16);
        intact = false;
        break;
    }
    return record;
}

} // namespace

class tst_StreamModel : public QObject
{
    Q_OBJECT

private slots:
    void predictsTheParser_data()
    {
        QTest::addColumn<QString>("script"); // C: a new connection, Gn: n bytes of garbage
        QTest::addColumn<QString>("frames"); // record numbers; s: a frame that is no record sent
        QTest::addColumn<int>("lost"); // intact records lost
        QTest::addColumn<int>("cuts");

        QTest::newRow("in step") << "R O R" << "0 1 2" << 0 << 0;
        QTest::newRow("garbage of whole words") << "R G8 R G4 R" << "0 1 2" << 0 << 0;
        QTest::newRow("bad sizes") << "R B R B B R" << "0 2 5" << 0 << 0;
        QTest::newRow("magic in a payload, in step") << "R F R" << "0 1 2" << 0 << 0;
        // A reconnect drops the record cut off with the old connection: the new one starts in step.
        QTest::newRow("cut, then records") << "R T C R R R" << "0 2 3 4" << 0 << 1;
        QTest::newRow("cut, then an odd-sized record") << "R T C O R R C R" << "0 2 3 4 5" << 0 << 1;
        QTest::newRow("cut, then a magic in a payload") << "R T C F R R" << "0 2 3 4" << 0 << 1;
        QTest::newRow("broken garbage words in step") << "R G6 R R" << "0" << 2 << 0;
        // Its last byte never came on its own connection.
        QTest::newRow("empty payload at the end of a connection") << "R Z C R" << "0 2" << 1 << 1;
        QTest::newRow("empty payload at the very end") << "R Z" << "0" << 1 << 0;
    }

    // The same bytes go to the model and to the real parser, one device per connection, as the
    // client's reconnect drops what the last connection left unread and the record it cut off.
    void predictsTheParser()
    {
        QFETCH(QString, script);
        QFETCH(QString, frames);
        QFETCH(int, lost);
        QFETCH(int, cuts);

        StreamModel model;
        FrameParser parser;
        QList<FrameSlot> parsed;
        parser.onFrameReady = [&] { parsed << parser.completedSlot(); };
        std::deque<FeedDevice> devices; // never moved: the parser holds on to the last
        const auto newConnection = [&] {
            parser.setDevice(&devices.emplace_back());
            parser.restartRecord();
            model.connectionStarted();
        };
        const auto send = [&](const QByteArray &bytes) {
            devices.back().feed(bytes);
            parser.process();
        };

        newConnection();
        int index = 0;
        for (const QString &token : script.split(QLatin1Char(' '))) {
            if (token == QLatin1String("C")) {
                newConnection();
            } else if (token.startsWith(QLatin1Char('G'))) {
                const int length = token.mid(1).toInt();
                model.garbage(length);
                send(QByteArray(length, '\x55'));
            } else {
                bool intact = false;
                const FrameRecord record = makeRecord(token.at(0), index, intact);
                model.record(index++, record, intact);
                send(record.toBytes());
            }
        }
        model.finish();

        QStringList predicted;
        for (const StreamModel::Frame &frame : model.expected)
            predicted << (frame.record < 0 ? QStringLiteral("s") : QString::number(frame.record));
        QCOMPARE(predicted.join(QLatin1Char(' ')), frames);
        QCOMPARE(model.intactLost, qint64(lost));
        QCOMPARE(model.cuts, qint64(cuts));

        QCOMPARE(size_t(parsed.size()), model.expected.size());
        for (qsizetype i = 0; i < parsed.size(); ++i) {
            const StreamModel::Frame &frame = model.expected[i];
            const FrameSlot &slot = parsed[i];
            QCOMPARE((std::array<qint32, 7>{slot.format, slot.reserved, slot.width, slot.height, slot.size,
                                            slot.timestamp_s, slot.timestamp_us}),
                     frame.fields);
            QCOMPARE(QByteArray(slot.CLum, 16) + QByteArray(slot.CPos, 16), frame.sensors);
            QCOMPARE(slot.payload.size(), qsizetype(frame.fields[4]));
            if (frame.record >= 0)
                QCOMPARE(slot.payload, frame.payload);
        }
    }
};

QTEST_APPLESS_MAIN(tst_StreamModel)
#include "tst_streammodel.moc"
