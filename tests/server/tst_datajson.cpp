// ORTVDataJson against QJsonDocument: the /Data body built per key as QJsonObjects, the way
// the route did it before, must come out byte for byte the same.
#include "DataJsonReference.h"
#include "ORTVDataJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

using Store = QHash<QString, QString>;

namespace {

QString fromUnits(std::initializer_list<char16_t> units)
{
    return QString(reinterpret_cast<const QChar *>(units.begin()), qsizetype(units.size()));
}

QString randomText(QRandomGenerator &random)
{
    QString text;
    const int length = random.bounded(24);
    for (int i = 0; i < length; ++i) {
        const int kind = random.bounded(100);
        if (kind < 60)
            text += QChar(char16_t(0x20 + random.bounded(0x60)));  // includes DEL
        else if (kind < 70)
            text += QChar(char16_t(random.bounded(0x20)));
        else if (kind < 85)
            text += QChar(char16_t(0x80 + random.bounded(0xd800 - 0x80)));
        else if (kind < 92)
            text += QChar(char16_t(0xd800 + random.bounded(0x800)));
        else
            text += QChar(char16_t(0xe000 + random.bounded(0x2000)));
    }
    return text;
}

} // namespace

class tst_DataJson : public QObject
{
    Q_OBJECT

private slots:
    void sameAsJsonDocument_data();
    void sameAsJsonDocument();
};

void tst_DataJson::sameAsJsonDocument_data()
{
    QTest::addColumn<Store>("store");

    QTest::newRow("empty") << Store();
    QTest::newRow("one key") << Store{{"temp", "21.5"}};
    QTest::newRow("empty key and value") << Store{{"", ""}};
    QTest::newRow("quote and backslash") << Store{{"a\"b", "c\\d"}, {"/", "</script>"}};
    QTest::newRow("control characters")
        << Store{{"\n\r\t\b\f", QString(QChar(u'\x01')) + u'\x1f'}, {"nul", QString(QChar(0))}};
    QTest::newRow("DEL") << Store{{"\x7f", "x\x7fy"}};
    QTest::newRow("non-ASCII") << Store{{QStringLiteral(u"caf\u00e9"), QStringLiteral(u"\u6e29\u5ea6 \U0001F600")}};
    QTest::newRow("format and separators") << Store{{QStringLiteral(u"\u00ad\u2028"), QStringLiteral(u"\ufeff\uffff")}};
    QTest::newRow("lone surrogates") << Store{{fromUnits({0xd800}), fromUnits({u'a', 0xdc00, u'b'})}};
    Store many;
    for (int i = 0; i < 1000; ++i)
        many.insert(QStringLiteral("bench.key.%1").arg(i), QString::number(i * 0.5));
    QTest::newRow("1000 keys") << many;

    QRandomGenerator random(0x0a7d1e55);
    for (int row = 0; row < 100; ++row) {
        Store store;
        const int size = random.bounded(8);
        for (int i = 0; i < size; ++i)
            store.insert(randomText(random), randomText(random));
        QTest::addRow("fuzz %d", row) << store;
    }
}

void tst_DataJson::sameAsJsonDocument()
{
    QFETCH(Store, store);
    QCOMPARE(ORTVDataJson::document(store), dataJsonViaObjects(store));
}

QTEST_GUILESS_MAIN(tst_DataJson)
#include "tst_datajson.moc"
