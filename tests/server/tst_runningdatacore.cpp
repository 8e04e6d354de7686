#include "LogCapture.h"
#include "ORTVRunningDataCore.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using Store = QHash<QString, QString>;

class tst_RunningDataCore : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void replyGoesToSender();
    void replyBytesAreTheJsonWriters();
    void parseErrorLine_data();
    void parseErrorLine();
    void dumpEscapesLikeTheDebugStream();
    void snapshotIsIndependent();

private:
    static QNetworkDatagram fromClient(const QByteArray &payload)
    {
        QNetworkDatagram dgram(payload);
        dgram.setSender(QHostAddress(QStringLiteral("192.0.2.7")), 4711);
        return dgram;
    }
};

// Each row sends its datagrams in order to one fresh core, then compares the store, the reply
// payloads and every debug line. Dumps are only checked where the store has at most one key,
// since the hash order of several keys is not defined.
void tst_RunningDataCore::commands_data()
{
    QTest::addColumn<QByteArrayList>("datagrams");
    QTest::addColumn<Store>("store");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("set string")
        << QByteArrayList{R"({"cmd":"SetData","url":"temp","data":"21.5"})"}
        << Store{{"temp", "21.5"}} << QByteArrayList{}
        << QStringList{R"(QHash(("temp", "21.5")))"};
    QTest::newRow("set number gives the same text")
        << QByteArrayList{R"({"cmd":"SetData","url":"temp","data":21.5})"}
        << Store{{"temp", "21.5"}} << QByteArrayList{}
        << QStringList{R"(QHash(("temp", "21.5")))"};
    QTest::newRow("number string keeps its text")
        << QByteArrayList{R"({"cmd":"SetData","url":"t","data":"21.50"})"}
        << Store{{"t", "21.50"}} << QByteArrayList{} << QStringList{R"(QHash(("t", "21.50")))"};
    QTest::newRow("member order does not matter")
        << QByteArrayList{R"({"data":"v","extra":[1],"url":"k","cmd":"SetData"})"}
        << Store{{"k", "v"}} << QByteArrayList{} << QStringList{R"(QHash(("k", "v")))"};
    QTest::newRow("substring xSetDatax")
        << QByteArrayList{R"({"cmd":"xSetDatax","url":"k","data":"v"})"} << Store{{"k", "v"}}
        << QByteArrayList{} << QStringList{R"(QHash(("k", "v")))"};
    QTest::newRow("substring SetData2")
        << QByteArrayList{R"({"cmd":"SetData2","url":"k","data":"v"})"} << Store{{"k", "v"}}
        << QByteArrayList{} << QStringList{R"(QHash(("k", "v")))"};
    QTest::newRow("case matters: setdata")
        << QByteArrayList{R"({"cmd":"setdata","url":"k","data":"v"})"} << Store{}
        << QByteArrayList{} << QStringList{};
    QTest::newRow("case matters: SETDATA, READDATA")
        << QByteArrayList{R"([{"cmd":"SETDATA","url":"k","data":"v"},{"cmd":"READDATA","url":"k"}])"}
        << Store{} << QByteArrayList{} << QStringList{};
    QTest::newRow("non-string cmd matches nothing")
        << QByteArrayList{R"({"cmd":["SetData"],"url":"k","data":"v"})"} << Store{}
        << QByteArrayList{} << QStringList{};
    QTest::newRow("no cmd")
        << QByteArrayList{R"({"url":"k","data":"v"})"} << Store{} << QByteArrayList{}
        << QStringList{};
    QTest::newRow("SetData without data logs nothing")
        << QByteArrayList{R"({"cmd":"SetData","url":"k"})"} << Store{} << QByteArrayList{}
        << QStringList{};
    QTest::newRow("SetData without url logs nothing")
        << QByteArrayList{R"({"cmd":"SetData","data":"v"})"} << Store{} << QByteArrayList{}
        << QStringList{};
    QTest::newRow("ReadData without url is ignored")
        << QByteArrayList{R"({"cmd":"ReadData"})"} << Store{} << QByteArrayList{}
        << QStringList{};
    QTest::newRow("data true stores nothing but dumps")
        << QByteArrayList{R"({"cmd":"SetData","url":"k","data":true})"} << Store{}
        << QByteArrayList{} << QStringList{"QHash()"};
    QTest::newRow("data null, array, object store nothing but dump")
        << QByteArrayList{R"({"cmd":"SetData","url":"k","data":null})",
                          R"({"cmd":"SetData","url":"k","data":[1]})",
                          R"({"cmd":"SetData","url":"k","data":{"a":1}})"}
        << Store{} << QByteArrayList{} << QStringList{"QHash()", "QHash()", "QHash()"};
    QTest::newRow("numbers as %g with 6 digits")
        << QByteArrayList{R"({"cmd":"SetData","url":"a","data":1234567})",
                          R"({"cmd":"SetData","url":"a","data":0.00001})",
                          R"({"cmd":"SetData","url":"a","data":42})",
                          R"({"cmd":"SetData","url":"a","data":123456})",
                          R"({"cmd":"SetData","url":"a","data":3.14159265})",
                          R"({"cmd":"SetData","url":"a","data":0.0001})",
                          R"({"cmd":"SetData","url":"a","data":-2.5e300})"}
        << Store{{"a", "-2.5e+300"}} << QByteArrayList{}
        << QStringList{R"(QHash(("a", "1.23457e+06")))", R"(QHash(("a", "1e-05")))",
                       R"(QHash(("a", "42")))", R"(QHash(("a", "123456")))",
                       R"(QHash(("a", "3.14159")))", R"(QHash(("a", "0.0001")))",
                       R"(QHash(("a", "-2.5e+300")))"};
    QTest::newRow("set again replaces")
        << QByteArrayList{R"({"cmd":"SetData","url":"k","data":"1"})",
                          R"({"cmd":"SetData","url":"k","data":"2"})"}
        << Store{{"k", "2"}} << QByteArrayList{}
        << QStringList{R"(QHash(("k", "1")))", R"(QHash(("k", "2")))"};
    QTest::newRow("read unknown key")
        << QByteArrayList{R"({"cmd":"ReadData","url":"nope"})"} << Store{}
        << QByteArrayList{R"({"data":"","url":"nope"})"} << QStringList{};
    QTest::newRow("read after set, compact and key-sorted")
        << QByteArrayList{R"({"cmd":"SetData","url":"temp","data":"21.5"})",
                          R"({"url":"temp","cmd":"ReadData","data":"ignored"})"}
        << Store{{"temp", "21.5"}} << QByteArrayList{R"({"data":"21.5","url":"temp"})"}
        << QStringList{R"(QHash(("temp", "21.5")))"};
    QTest::newRow("SetDataReadData stores then answers")
        << QByteArrayList{R"({"cmd":"SetDataReadData","url":"k","data":7})"}
        << Store{{"k", "7"}} << QByteArrayList{R"({"data":"7","url":"k"})"}
        << QStringList{R"(QHash(("k", "7")))"};
    QTest::newRow("ReadDataSetData also stores first")
        << QByteArrayList{R"({"cmd":"ReadDataSetData","url":"k","data":"x"})"}
        << Store{{"k", "x"}} << QByteArrayList{R"({"data":"x","url":"k"})"}
        << QStringList{R"(QHash(("k", "x")))"};
    QTest::newRow("non-string url is the empty key, echoed as sent")
        << QByteArrayList{R"({"cmd":"SetData","url":7,"data":"seven"})",
                          R"({"cmd":"ReadData","url":""})",
                          R"({"cmd":"ReadData","url":false})",
                          R"({"cmd":"ReadData","url":null})",
                          R"({"cmd":"ReadData","url":{"b":1,"a":[2]}})"}
        << Store{{"", "seven"}}
        << QByteArrayList{R"({"data":"seven","url":""})", R"({"data":"seven","url":false})",
                          R"({"data":"seven","url":null})",
                          R"({"data":"seven","url":{"a":[2],"b":1}})"}
        << QStringList{R"(QHash(("", "seven")))"};
    QTest::newRow("array: objects in order, other elements skipped")
        << QByteArrayList{R"({"cmd":"SetData","url":"a","data":"A"})",
                          R"([{"cmd":"ReadData","url":"a"},5,"x",[{"cmd":"ReadData","url":"a"}],null,{"cmd":"ReadData","url":"b"}])"}
        << Store{{"a", "A"}}
        << QByteArrayList{R"({"data":"A","url":"a"})", R"({"data":"","url":"b"})"}
        << QStringList{R"(QHash(("a", "A")))"};
    QTest::newRow("array: a read sees an earlier set of the same datagram")
        << QByteArrayList{R"([{"cmd":"ReadData","url":"k"},{"cmd":"SetData","url":"k","data":"1"},{"cmd":"ReadData","url":"k"}])"}
        << Store{{"k", "1"}}
        << QByteArrayList{R"({"data":"","url":"k"})", R"({"data":"1","url":"k"})"}
        << QStringList{R"(QHash(("k", "1")))"};
    QTest::newRow("empty array, empty object")
        << QByteArrayList{"[]", "{}", " [ ] "} << Store{} << QByteArrayList{} << QStringList{};
    QTest::newRow("unicode and escapes survive the round trip")
        << QByteArrayList{R"({"cmd":"SetDataReadData","url":"k\u00e9\"","data":"line\nnext"})"}
        << Store{{QStringLiteral(u"k\u00e9\""), "line\nnext"}}
        << QByteArrayList{"{\"data\":\"line\\nnext\",\"url\":\"k\xc3\xa9\\\"\"}"}
        << QStringList{QStringLiteral(u"QHash((\"k\u00e9\\\"\", \"line\\nnext\"))")};
}

void tst_RunningDataCore::commands()
{
    QFETCH(QByteArrayList, datagrams);
    QFETCH(Store, store);
    QFETCH(QByteArrayList, replies);
    QFETCH(QStringList, log);

    ORTVRunningDataCore core;
    QSignalSpy frames(&core, &ORTVRunningDataCore::needToSendFrame);
    LogCapture capture;
    for (const QByteArray &payload : datagrams)
        core.receivedDataFromClient(fromClient(payload));

    QCOMPARE(capture.lines(), log);
    QCOMPARE(core.getCoreData(), store);
    QByteArrayList sent;
    for (const QList<QVariant> &args : frames)
        sent << args.at(0).value<QNetworkDatagram>().data();
    QCOMPARE(sent, replies);
}

// Every ASCII character in the key and in the value: the reply is what the JSON writer makes
// of the reply object, whichever way the core builds it.
void tst_RunningDataCore::replyBytesAreTheJsonWriters()
{
    ORTVRunningDataCore core;
    QByteArrayList replies;
    connect(&core, &ORTVRunningDataCore::needToSendFrame, this,
            [&](const QNetworkDatagram &d) { replies << d.data(); });
    for (char16_t u = 1; u < 0x80; ++u) {
        const QString text = QStringLiteral("k") + QChar(u) + QStringLiteral("v");
        QJsonObject set{{"cmd", "SetDataReadData"}, {"url", text}, {"data", text}};
        core.receivedDataFromClient(fromClient(QJsonDocument(set).toJson()));
        const QJsonObject reply{{"data", text}, {"url", text}};
        QCOMPARE(replies.takeLast(), QJsonDocument(reply).toJson(QJsonDocument::Compact));
    }
}

void tst_RunningDataCore::replyGoesToSender()
{
    ORTVRunningDataCore core;
    QSignalSpy frames(&core, &ORTVRunningDataCore::needToSendFrame);
    core.receivedDataFromClient(fromClient(R"({"cmd":"ReadData","url":"x"})"));

    QCOMPARE(frames.size(), 1);
    const QNetworkDatagram reply = frames.at(0).at(0).value<QNetworkDatagram>();
    QVERIFY(reply.destinationAddress().isNull());
    QCOMPARE(reply.destinationPort(), -1);
    QCOMPARE(frames.at(0).at(1).value<QHostAddress>(), QHostAddress("192.0.2.7"));
    QCOMPARE(frames.at(0).at(2).value<quint16>(), quint16(4711));
}

void tst_RunningDataCore::parseErrorLine_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("description");

    QTest::newRow("truncated") << QByteArray(R"({"cmd":)") << "unterminated object";
    QTest::newRow("empty") << QByteArray() << "illegal value";
    QTest::newRow("trailing text") << QByteArray(R"({"cmd":"SetData"} x)") << "garbage at the end of the document";
    QTest::newRow("bare number") << QByteArray("5") << "illegal value";
    QTest::newRow("bare string") << QByteArray(R"("SetData")") << "illegal value";
    QTest::newRow("not json") << QByteArray("hello") << "illegal value";
}

void tst_RunningDataCore::parseErrorLine()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, description);

    ORTVRunningDataCore core;
    QSignalSpy frames(&core, &ORTVRunningDataCore::needToSendFrame);
    LogCapture capture;
    core.receivedDataFromClient(fromClient(payload));

    QCOMPARE(capture.lines(),
             QStringList{"ORTVRunningDataCore: JSON Parse Error:  \"" + description + "\""});
    QCOMPARE(capture.types(), QList<QtMsgType>{QtDebugMsg});
    QCOMPARE(frames.size(), 0);
    QVERIFY(core.getCoreData().isEmpty());
}

void tst_RunningDataCore::dumpEscapesLikeTheDebugStream()
{
    ORTVRunningDataCore core;
    LogCapture capture;
    core.receivedDataFromClient(
        fromClient(R"({"cmd":"SetData","url":"a\\b\"c","data":"t\tr\rx\u0001"})"));
    QCOMPARE(capture.lines(), QStringList{R"(QHash(("a\\b\"c", "t\tr\rx\u0001")))"});
}

void tst_RunningDataCore::snapshotIsIndependent()
{
    ORTVRunningDataCore core;
    LogCapture quiet;
    core.receivedDataFromClient(fromClient(R"({"cmd":"SetData","url":"k","data":"1"})"));
    const Store before = core.getCoreData();
    core.receivedDataFromClient(fromClient(R"({"cmd":"SetData","url":"k","data":"2"})"));
    core.receivedDataFromClient(fromClient(R"({"cmd":"SetData","url":"j","data":"3"})"));

    QCOMPARE(before, (Store{{"k", "1"}}));
    QCOMPARE(core.getCoreData(), (Store{{"k", "2"}, {"j", "3"}}));
}

QTEST_GUILESS_MAIN(tst_RunningDataCore)
#include "tst_runningdatacore.moc"
