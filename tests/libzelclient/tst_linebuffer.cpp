#include "linebuffer.h"

#include <QtTest>

class TestLineBuffer : public QObject
{
    Q_OBJECT

private:
    static QStringList takeAll(LineBuffer &buffer)
    {
        QStringList lines;
        while (buffer.hasLine())
            lines << buffer.getLine();
        return lines;
    }

private slots:
    void splitting_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("partial");

        QTest::newRow("no terminator") << QList<QByteArray>{"abc"} << QStringList{} << "abc";
        QTest::newRow("mixed terminators")
            << QList<QByteArray>{QByteArray("a\r\nb\n\n\nc")} << QStringList{"a", "b"} << "c";
        QTest::newRow("lone CR ends a line")
            << QList<QByteArray>{QByteArray("a\rb\r")} << QStringList{"a", "b"} << "";
        QTest::newRow("CR LF split across chunks")
            << QList<QByteArray>{"x\r", "\ny\n"} << QStringList{"x", "", "y"} << "";
        QTest::newRow("blank line alone")
            << QList<QByteArray>{"a\n", "\n"} << QStringList{"a", ""} << "";
        QTest::newRow("line completed later")
            << QList<QByteArray>{"Listening to sl", "ave connections", " on port\n"}
            << QStringList{"Listening to slave connections on port"} << "";
        QTest::newRow("leading terminators inside one chunk")
            << QList<QByteArray>{QByteArray("\n\r\nabc\n")} << QStringList{"", "abc"} << "";
        QTest::newRow("utf-8 split inside a character")
            << QList<QByteArray>{QByteArray("caf\xc3"), QByteArray("\xa9\n")}
            << QStringList{QString::fromUtf8("caf\xc3\xa9")} << "";
        QTest::newRow("invalid utf-8 keeps splitting")
            << QList<QByteArray>{QByteArray("a\xff" "b\nc\n")}
            << QStringList{QString::fromUtf8("a\xff" "b"), "c"} << "";
        QTest::newRow("empty chunks") << QList<QByteArray>{"", "a", "", "\n", ""}
                                      << QStringList{"a"} << "";
    }

    void splitting()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, lines);
        QFETCH(QString, partial);

        LineBuffer buffer;
        for (const QByteArray &chunk : chunks)
            buffer.add(chunk);
        QCOMPARE(buffer.count(), lines.size());
        QCOMPARE(takeAll(buffer), lines);
        QCOMPARE(buffer.hasPartialLine(), !partial.isEmpty());
        QCOMPARE(buffer.getPartialLine(), partial);
    }

    void invalidUtf8IsReplaced()
    {
        LineBuffer buffer;
        buffer.add(QByteArray("a\xff" "b\n"));
        const QString line = buffer.getLine();
        QCOMPARE(line.size(), 3);
        QCOMPARE(line.at(1), QChar(QChar::ReplacementCharacter));
    }

    // Whatever the chunking, lines ended by single LFs come out the same.
    void everySplitPosition()
    {
        const QByteArray payload("Info: Listening to slave connections on port 'tcp:localhost:4100'.\n"
                                 "Info: Established X server connection.\n"
                                 "Session: Session terminated at Wed Dec  9.\n"
                                 "tail");
        const QStringList expected{"Info: Listening to slave connections on port 'tcp:localhost:4100'.",
                                   "Info: Established X server connection.",
                                   "Session: Session terminated at Wed Dec  9."};
        for (int first = 0; first <= payload.size(); ++first) {
            for (int second = first; second <= payload.size(); second += 7) {
                LineBuffer buffer;
                buffer.add(payload.left(first));
                buffer.add(payload.mid(first, second - first));
                buffer.add(payload.mid(second));
                QCOMPARE(takeAll(buffer), expected);
                QCOMPARE(buffer.getPartialLine(), QStringLiteral("tail"));
            }
        }
    }

    void partialLineStaysAndStopsAtZero()
    {
        LineBuffer buffer;
        buffer.add(QByteArray("ab\0cd", 5));
        QVERIFY(buffer.hasPartialLine());
        QCOMPARE(buffer.getPartialLine(), QStringLiteral("ab"));
        QCOMPARE(buffer.getPartialLine(), QStringLiteral("ab"));
        buffer.add("\n");
        QCOMPARE(buffer.count(), 1);
        QCOMPARE(buffer.getLine(), QString::fromUtf8("ab\0cd", 5));
        QVERIFY(!buffer.hasPartialLine());
    }

    void getLineOnEmptyBuffer()
    {
        LineBuffer buffer;
        buffer.add("part");
        QVERIFY(!buffer.hasLine());
        QCOMPARE(buffer.getLine(), QString());
        QCOMPARE(buffer.count(), 0);
        QCOMPARE(buffer.getPartialLine(), QStringLiteral("part"));
    }

    void copiesAreIndependent()
    {
        LineBuffer original;
        original.add("one\ntw");
        LineBuffer copy = original;
        QCOMPARE(copy.getLine(), QStringLiteral("one"));
        copy.add("o\n");
        QCOMPARE(original.count(), 1);
        QCOMPARE(original.getPartialLine(), QStringLiteral("tw"));
        QCOMPARE(copy.getLine(), QStringLiteral("two"));

        LineBuffer moved = std::move(original);
        QCOMPARE(moved.getLine(), QStringLiteral("one"));
    }
};

QTEST_GUILESS_MAIN(TestLineBuffer)
#include "tst_linebuffer.moc"
