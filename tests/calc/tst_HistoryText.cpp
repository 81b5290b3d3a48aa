#include "HistoryText.h"
#include "TextEncoding.h"

#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTest>

class tst_HistoryText : public QObject {
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void windows1252MatchesTheSystemConverter();
    void encode_data();
    void encode();

    void savedForm_data();
    void savedForm();
    void savedFormIsExactlyWhatSavingWrites();
    void cut_data();
    void cut();
};

void tst_HistoryText::decode_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << "a\nb\n";
    QTest::newRow("LF") << QByteArray("a\nb") << "a\nb";
    QTest::newRow("lone CR") << QByteArray("a\rb\r") << "a\nb\n";
    QTest::newRow("CR, then CR LF") << QByteArray("a\r\r\nb") << "a\n\nb";
    QTest::newRow("LF, then CR") << QByteArray("a\n\rb") << "a\n\nb";
    QTest::newRow("empty lines") << QByteArray("\r\n\r\n\n\r") << "\n\n\n\n";
    QTest::newRow("line and paragraph separators") << QByteArray("a\xE2\x80\xA8"
                                                                 "b\xE2\x80\xA9"
                                                                 "c")
                                                   << "a\nb\nc";
    QTest::newRow("history entry") << QByteArray("\r\n12/8/2026 7:10:00 AM\r\n(12+34)*3\r\n=\r\n"
                                                 "138.00\r\n")
                                   << "\n12/8/2026 7:10:00 AM\n(12+34)*3\n=\n138.00\n";
    QTest::newRow("UTF-8") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80")
                           << QStringLiteral("caf\u00E9 \u20AC \U0001F600");
    QTest::newRow("Windows-1252") << QByteArray("\x80\xA0\xE9")
                                  << QStringLiteral("\u20AC\u00A0\u00E9");
    QTest::newRow("Windows-1252 with CR LF")
        << QByteArray("12\x80\r\n=\r\n\xE9") << QStringLiteral("12\u20AC\n=\n\u00E9");
    QTest::newRow("bytes Windows-1252 leaves undefined")
        << QByteArray("\x81\x8D\x8F\x90\x9D") << QStringLiteral("\u0081\u008D\u008F\u0090\u009D");
    QTest::newRow("one wrong byte makes the whole file Windows-1252")
        << QByteArray("caf\xC3\xA9\n\xFF") << QStringLiteral("caf\u00C3\u00A9\n\u00FF");
    QTest::newRow("byte order mark dropped") << QByteArray("\xEF\xBB\xBF"
                                                           "a\r\n")
                                             << "a\n";
    QTest::newRow("doubled byte order mark dropped") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                                   "a")
                                                     << "a";
    QTest::newRow("byte order mark inside kept")
        << QByteArray("a\xEF\xBB\xBF") << QStringLiteral("a\uFEFF");
    QTest::newRow("byte order mark before invalid UTF-8")
        << QByteArray("\xEF\xBB\xBF\xE9") << QStringLiteral("\u00EF\u00BB\u00BF\u00E9");
    QTest::newRow("UTF-8 sequence cut short")
        << QByteArray("caf\xC3") << QStringLiteral("caf\u00C3");
    QTest::newRow("overlong form") << QByteArray("\xC0\xAF") << QStringLiteral("\u00C0\u00AF");
    QTest::newRow("encoded surrogate")
        << QByteArray("\xED\xA0\x80") << QStringLiteral("\u00ED\u00A0\u20AC");
    QTest::newRow("NUL kept") << QByteArray("a\0b", 3) << QStringView(u"a\0b", 3).toString();
    QTest::newRow("replacement character written in the file")
        << QByteArray("\xEF\xBF\xBD") << QStringLiteral("\uFFFD");
}

void tst_HistoryText::decode() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(DecodeHistoryBytes(bytes), expected);
}

void tst_HistoryText::windows1252MatchesTheSystemConverter() {
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all += char(byte);
    const QString decoded = DecodeWindows1252(all);
    QCOMPARE(decoded.size(), 256);
    QVERIFY(!decoded.contains(QChar::ReplacementCharacter));
    QStringDecoder system("windows-1252");
    if (!system.isValid())
        QSKIP("this Qt has no Windows-1252 converter (built without ICU)");
    QCOMPARE(decoded, QString(system(all)));
}

void tst_HistoryText::encode_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("line break") << "\n" << QByteArray("\r\n");
    QTest::newRow("history entry") << "\n12/8/2026 7:10:00 AM\n(12+34)*3\n=\n138.00\n"
                                   << QByteArray("\r\n12/8/2026 7:10:00 AM\r\n(12+34)*3\r\n=\r\n"
                                                 "138.00\r\n");
    QTest::newRow("CR LF stays one line break") << "a\r\nb" << QByteArray("a\r\nb");
    QTest::newRow("lone CR") << "a\rb" << QByteArray("a\r\nb");
    QTest::newRow("paragraph and line separators")
        << QStringLiteral("a\u2029b\u2028c") << QByteArray("a\r\nb\r\nc");
    QTest::newRow("UTF-8 without byte order mark")
        << QStringLiteral("\u00E9\u20AC\u00A0\U0001F600")
        << QByteArray("\xC3\xA9\xE2\x82\xAC\xC2\xA0\xF0\x9F\x98\x80");
    QTest::newRow("UTF-8 at the edges of each length")
        << QStringLiteral("\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF")
        << QByteArray("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
                      "\xF4\x8F\xBF\xBF");
    QTest::newRow("unpaired surrogates become U+FFFD")
        << QStringView(u"\xDC00"
                       u"a\xD800\n\xD800")
               .toString()
        << QByteArray("\xEF\xBF\xBD"
                      "a\xEF\xBF\xBD\r\n\xEF\xBF\xBD");
}

void tst_HistoryText::encode() {
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(EncodeHistoryText(text), expected);
}

void tst_HistoryText::savedForm_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("saved");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("entries") << QByteArray(
                                    "\r\n12/8/2026 7:00:00 AM\r\n1+1\r\n=\r\n2.00\r\n\r\nx\r\n")
                             << true;
    QTest::newRow("lone LF") << QByteArray("a\n") << false;
    QTest::newRow("CR at the end") << QByteArray("a\r") << false;
    QTest::newRow("lone CR") << QByteArray("a\rb\r\n") << false;
    QTest::newRow("CR CR LF") << QByteArray("\r\r\n") << false;
    QTest::newRow("byte order mark first") << QByteArray("\xEF\xBB\xBF"
                                                         "a\r\n")
                                           << false;
    QTest::newRow("byte order mark later") << QByteArray("a\r\n\xEF\xBB\xBF") << true;
    QTest::newRow("UTF-8") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\r\n") << true;
    QTest::newRow("Windows-1252") << QByteArray("caf\xE9\r\n") << false;
    QTest::newRow("U+2028") << QByteArray("a\xE2\x80\xA8"
                                          "b")
                            << false;
    QTest::newRow("U+2029") << QByteArray("a\xE2\x80\xA9"
                                          "b")
                            << false;
    QTest::newRow("U+FDD0") << QByteArray("\xEF\xB7\x90") << false;
    QTest::newRow("U+FDD1") << QByteArray("\xEF\xB7\x91") << false;
    QTest::newRow("U+FDD2") << QByteArray("\xEF\xB7\x92") << true;
    QTest::newRow("overlong 2") << QByteArray("\xC0\xAF") << false;
    QTest::newRow("overlong 3") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("overlong 4") << QByteArray("\xF0\x80\x80\xAF") << false;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("cut character") << QByteArray("a\xC3") << false;
    QTest::newRow("stray continuation") << QByteArray("a\x80") << false;
    QTest::newRow("NUL and controls") << QByteArray("a\0b\t\x1B\r\n", 8) << true;
    // Every alignment of the eight-bytes-at-a-time path.
    const QByteArray line(24, 'x');
    for (int at = 0; at <= line.size(); ++at) {
        QTest::addRow("CR LF at %d", at) << QByteArray(line).insert(at, "\r\n") << true;
        QTest::addRow("LF alone at %d", at) << QByteArray(line).insert(at, "\n") << false;
        QTest::addRow("CR alone at %d", at) << QByteArray(line).insert(at, "\r") << false;
        QTest::addRow("e acute at %d", at) << QByteArray(line).insert(at, "\xC3\xA9") << true;
        QTest::addRow("CR before e acute at %d", at)
            << QByteArray(line).insert(at, "\r\xC3\xA9\n") << false;
    }
}

void tst_HistoryText::savedForm() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, saved);
    SavedFormCheck whole;
    whole.Feed(bytes);
    QCOMPARE(whole.Finish(), saved);
    // Fed in pieces, cut anywhere: the same answer.
    for (qsizetype a = 0; a <= bytes.size(); ++a) {
        for (qsizetype b = a; b <= bytes.size(); b += 3) {
            SavedFormCheck pieces;
            pieces.Feed(QByteArrayView(bytes).first(a));
            pieces.Feed(QByteArrayView(bytes).sliced(a, b - a));
            pieces.Feed(QByteArrayView(bytes).sliced(b));
            QVERIFY2(pieces.Finish() == saved,
                     qPrintable(QStringLiteral("cut at %1 and %2").arg(a).arg(b)));
        }
    }
}

// The check says yes exactly when reading the bytes and writing them back gives them unchanged
// (less the two characters the memo does not keep, which only the check knows about).
void tst_HistoryText::savedFormIsExactlyWhatSavingWrites() {
    // Strings of pieces that keep the saved form, long enough for every way through the check,
    // half of them with one piece that may break it.
    const QList<QByteArray> good = {"a",
                                    "0123456789abcdef",
                                    "\r\n",
                                    "\xC3\xA9",
                                    "\xF0\x9F\x98\x80",
                                    "\xE2\x82\xAC",
                                    QByteArray(1, '\0'),
                                    "0123456789abcdef\r\n0123456789abcdef"};
    const QList<QByteArray> doubtful = {
        "\r",           "\n",           "\xE9",     "\xEF\xBB\xBF",
        "\xE2\x80\xA8", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80",
        "\xE2\x82",     "\xAC",         "\r\r\n",   "\xEF\xB7\x92"};
    QRandomGenerator random(20261208);
    int saved = 0;
    for (int round = 0; round < 20000; ++round) {
        QList<QByteArray> pieces;
        const int count = int(random.bounded(40));
        for (int i = 0; i < count; ++i)
            pieces.append(good[int(random.bounded(good.size()))]);
        if (random.bounded(2))
            pieces.insert(int(random.bounded(pieces.size() + 1)),
                          doubtful[int(random.bounded(doubtful.size()))]);
        const QByteArray bytes = pieces.join();
        SavedFormCheck check;
        check.Feed(bytes);
        const bool same = EncodeHistoryText(DecodeHistoryBytes(bytes)) == bytes;
        QVERIFY2(check.Finish() == same, bytes.toHex(' ').constData());
        saved += same;
    }
    QVERIFY2(saved > 8000 && saved < 16000, "the table should hold both kinds");
}

void tst_HistoryText::cut_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("budget");
    QTest::addColumn<int>("cut");
    const QByteArray two = "\r\nA\r\n=\r\n1\r\n\r\nB\r\n=\r\n2\r\n";
    QTest::newRow("between entries") << two << int(two.size() - 1) << 11;
    QTest::newRow("budget ends inside the break") << two << 10 << 8;
    QTest::newRow("empty line straddling the budget") << QByteArray("ab\r\n\r\ncd") << 4 << 4;
    QTest::newRow("no empty line: the last line end") << QByteArray("ab\r\ncd\r\nef") << 9 << 8;
    QTest::newRow("no line end within the budget") << QByteArray("abcdef\r\n") << 5 << 0;
    QTest::newRow("line end just fits") << QByteArray("abc\r\ndef") << 5 << 5;
}

void tst_HistoryText::cut() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, budget);
    QFETCH(int, cut);
    QCOMPARE(HistoryCut(bytes, budget), qsizetype(cut));
}

QTEST_GUILESS_MAIN(tst_HistoryText)
#include "tst_HistoryText.moc"
