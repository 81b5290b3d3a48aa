// What the windows look like with the fonts and colour schemes users have: every caption fits
// its control at the common desktop fonts, and every text reads on its background under a light
// and a dark scheme. (The About window's place needs a window manager's frames: tests/e2e.)
#include "FormAbout.h"
#include "FormMain.h"
#include "support/MainWindowFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <memory>

namespace {

// WCAG 2's contrast ratio: (L1 + 0.05) / (L2 + 0.05) of the relative luminances, lighter first.
double Wcag(const QColor& a, const QColor& b) {
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const auto luminance = [&](const QColor& c) {
        return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
    };
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return la > lb ? la / lb : lb / la;
}

// The desktop fonts of the common Debian desktops (GNOME, KDE, Xfce, LXQt...), from Debian's
// font packages: fonts-dejavu-core, fonts-noto-core, fonts-liberation2, fonts-cantarell.
const QStringList kDesktopFonts = {QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans"),
                                   QStringLiteral("Liberation Sans"), QStringLiteral("Cantarell")};

// A dark scheme as users pick it: qt6ct's "darker" colours, role by role in QPalette's order.
QPalette DarkPalette() {
    static const char* const kDarker[] = {
        "#ffffff", "#424245", "#979797", "#5e5c5b", "#302f2e", "#4a4947", "#ffffff",
        "#ffffff", "#ffffff", "#3d3d3d", "#222020", "#e7e4e0", "#12608a", "#f9f9f9",
        "#0986d3", "#a70b06", "#5c5b5a", "#ffffff", "#3f3f36", "#ffffff", "#80ffffff"};
    QPalette palette;
    for (int role = 0; role < int(std::size(kDarker)); ++role)
        palette.setColor(QPalette::ColorRole(role), QColor(QLatin1String(kDarker[role])));
    return palette;
}

QPalette LightPalette() {
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    return fusion->standardPalette();
}

// A widget whose caption the test checks: a control, not a container.
bool IsControl(const QWidget* w) {
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
           qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QPlainTextEdit*>(w);
}

// The controls of a window that a user can see, the spin box's own editor left out.
QList<QWidget*> VisibleControls(QWidget* window) {
    QList<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || !IsControl(w) || w->window() != window)
            continue;
        if (qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
            continue;
        controls << w;
    }
    return controls;
}

QString NameOf(const QWidget* w) {
    QString name = w->objectName();
    if (name.isEmpty())
        name = QString::fromLatin1(w->metaObject()->className());
    if (const auto* label = qobject_cast<const QLabel*>(w))
        name += QStringLiteral(" \"") + label->text() + QLatin1Char('"');
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        name += QStringLiteral(" \"") + button->text() + QLatin1Char('"');
    return name;
}

QRect InWindow(const QWidget* w, const QRect& rect) {
    return rect.translated(w->mapTo(w->window(), QPoint(0, 0)));
}

// Where the caption's text is drawn, in window coordinates; an empty rectangle for controls
// without a caption.
QRect CaptionRect(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        const QRect inside = label->contentsRect();
        return InWindow(w,
                        label->style()->itemTextRect(label->fontMetrics(), inside,
                                                     int(label->alignment()), true, label->text()));
    }
    return {};
}

// Everything that keeps one control's caption from showing whole, "" when it fits.
QString CaptionProblems(QWidget* w, const QList<QWidget*>& controls) {
    QStringList problems;
    const QFontMetrics fm = w->fontMetrics();
    const auto ink = [&](const QString& text) { return fm.tightBoundingRect(text).height(); };
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text().isEmpty())
            return {};
        const QRect inside = label->contentsRect();
        if (fm.horizontalAdvance(label->text()) > inside.width())
            problems << QStringLiteral("text %1 px wide in %2 px")
                            .arg(fm.horizontalAdvance(label->text()))
                            .arg(inside.width());
        if (ink(label->text()) > inside.height())
            problems << QStringLiteral("text %1 px high in %2 px")
                            .arg(ink(label->text()))
                            .arg(inside.height());
        const QRect text = CaptionRect(w);
        for (QWidget* other : controls)
            if (other != w && InWindow(other, other->rect()).intersects(text))
                problems << QStringLiteral("text runs under %1").arg(NameOf(other));
        if (!InWindow(w->parentWidget(), w->parentWidget()->rect()).contains(text))
            problems << QStringLiteral("text runs out of %1").arg(NameOf(w->parentWidget()));
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        if (button->text().isEmpty())
            return {};
        // A push button or check box needs its style's margins around the caption; a flat
        // keypad key only its own 2 px edges.
        const int needs = qobject_cast<QToolButton*>(button)
                              ? fm.horizontalAdvance(button->text()) + 4
                              : button->sizeHint().width();
        if (needs > button->width())
            problems << QStringLiteral("needs %1 px, has %2 px").arg(needs).arg(button->width());
        if (ink(button->text()) > button->height())
            problems << QStringLiteral("text %1 px high in %2 px")
                            .arg(ink(button->text()))
                            .arg(button->height());
    } else if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w)) {
        // The tallest characters a box shows (digits, separators, letters of messages).
        const int frame = w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
        const QString sample = QStringLiteral("Exception occurred -1,234.5679");
        if (ink(sample) > w->height() - 2 * frame)
            problems << QStringLiteral("text %1 px high in %2 px")
                            .arg(ink(sample))
                            .arg(w->height() - 2 * frame);
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            const auto* editor = spin->findChild<QLineEdit*>();
            if (fm.horizontalAdvance(QStringLiteral("9")) > editor->width())
                problems << QStringLiteral("no room for a digit");
        }
    }
    // A control that leaves its window is cut off by the window's edge.
    const QRect outer = InWindow(w, w->rect());
    if (!w->window()->rect().contains(outer))
        problems << QStringLiteral("runs out of the window");
    if (problems.isEmpty())
        return {};
    return NameOf(w) + QStringLiteral(": ") + problems.join(QStringLiteral(", "));
}

// The colour seen most often in an image: the background of a control with a short text.
QRgb Background(const QImage& image) {
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000u];
    QRgb best = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    return best;
}

struct Reading {
    QColor background;
    QColor text;
    int textPixels = 0; // pixels that differ from the background
};

// The background of an area of a window and the text colour that stands out most on it (the
// core of a glyph stem, where antialiasing does not blend in the background).
Reading Read(const QImage& image) {
    Reading reading;
    reading.background = QColor(Background(image));
    double best = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel(image.pixel(x, y) | 0xff000000u);
            if (pixel == reading.background)
                continue;
            ++reading.textPixels;
            const double ratio = Wcag(pixel, reading.background);
            if (ratio > best) {
                best = ratio;
                reading.text = pixel;
            }
        }
    return reading;
}

// The area of a control where its text is drawn, grabbed from the rendered window: a box's
// inside without its frame, a label's text with the panel around it.
QImage Grab(QWidget* control) {
    QRect area = control->rect();
    if (qobject_cast<QLineEdit*>(control)) {
        // The line of text, clear of the frame and the focus ring the style draws inside it.
        const QFontMetrics fm = control->fontMetrics();
        const int top = (control->height() - fm.height()) / 2;
        area = QRect(5, std::max(top, 4), control->width() - 10,
                     std::min(fm.height(), control->height() - 8));
    } else if (qobject_cast<QPlainTextEdit*>(control)) {
        area = area.adjusted(4, 4, -20, -20); // inside the frame, clear of the scroll bars
    } else if (auto* label = qobject_cast<QLabel*>(control))
        area = CaptionRect(label)
                   .translated(-control->mapTo(control->window(), QPoint(0, 0)))
                   .adjusted(-2, -2, 2, 2);
    QImage image = control->window()->grab(InWindow(control, area)).toImage();
    if (auto* box = qobject_cast<QLineEdit*>(control); box && box->hasFocus()) {
        // The caret is drawn inverted, which says nothing of the text's colour: it is painted
        // over with the background.
        const QRect caret = box->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        const QRgb background = Background(image);
        for (int x = caret.left() - area.left() - 1; x <= caret.right() - area.left() + 1; ++x)
            for (int y = 0; y < image.height(); ++y)
                if (x >= 0 && x < image.width())
                    image.setPixel(x, y, background);
    }
    return image;
}

void Hover(QWidget* link) {
    const QPointF at(2, 2);
    QEnterEvent enter(at, at, link->mapToGlobal(at));
    QApplication::sendEvent(link, &enter);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link, &leave);
}

} // namespace

class tst_Appearance : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void captionsFitAtDesktopFonts_data();
    void captionsFitAtDesktopFonts();
    void textsReadOnTheirBackgrounds_data();
    void textsReadOnTheirBackgrounds();

private:
    std::unique_ptr<TfrmAbout> MakeAbout();
    void Save(QWidget* window, const QString& name);

    MainWindowFixture f;
    std::unique_ptr<TfrmMain>& w = f.w;
    QFont m_font;
    QPalette m_palette;
};

void tst_Appearance::initTestCase() {
    QApplication::setStyle(QStringLiteral("Fusion"));
    m_font = QApplication::font();
    m_palette = QApplication::palette();
    for (const QString& family : kDesktopFonts)
        QVERIFY2(QFontDatabase::hasFamily(family),
                 qPrintable(family + QStringLiteral(" is not installed (make deps)")));
}

void tst_Appearance::init() {
    f.NewFolder();
}

void tst_Appearance::cleanup() {
    w.reset();
    QApplication::setFont(m_font);
    QApplication::setPalette(m_palette);
}

std::unique_ptr<TfrmAbout> tst_Appearance::MakeAbout() {
    auto about = std::make_unique<TfrmAbout>(
        w.get(), f.shell, [](const QString&) { return QStringLiteral("1.8.6.66"); });
    about->show();
    return about;
}

// With QUANTORIA_SCREENSHOTS set to a folder, the rendered windows are kept there as PNG files.
void tst_Appearance::Save(QWidget* window, const QString& name) {
    const QString folder = qEnvironmentVariable("QUANTORIA_SCREENSHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    window->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void tst_Appearance::captionsFitAtDesktopFonts_data() {
    QTest::addColumn<QString>("family");
    for (const QString& family : kDesktopFonts)
        QTest::newRow(qPrintable(family)) << family;
}

void tst_Appearance::captionsFitAtDesktopFonts() {
    QFETCH(QString, family);
    QFont font(family);
    font.setPixelSize(13);
    QApplication::setFont(font);
    QVERIFY(f.Make());
    QCOMPARE(QFontInfo(RowLabel(w, 0)->font()).family(), family);
    // Long results and a hidden history panel change what the window shows; captions still fit.
    f.Evaluate(0, QStringLiteral("-987654321.5"));
    const auto about = MakeAbout();
    QCOMPARE(QFontInfo(Find<QPushButton>(about, "btnVisitHomePage")->font()).family(), family);

    QStringList problems;
    for (QWidget* window : {static_cast<QWidget*>(w.get()), static_cast<QWidget*>(about.get())}) {
        const QList<QWidget*> controls = VisibleControls(window);
        QVERIFY(controls.size() > 5);
        for (QWidget* control : controls)
            if (const QString problem = CaptionProblems(control, controls); !problem.isEmpty())
                problems << problem;
    }
    Save(w.get(), QStringLiteral("main-") + family);
    Save(about.get(), QStringLiteral("about-") + family);
    QVERIFY2(problems.isEmpty(), qPrintable(QStringLiteral("\n  ") + problems.join(u"\n  ")));
}

void tst_Appearance::textsReadOnTheirBackgrounds_data() {
    QTest::addColumn<QString>("scheme");
    QTest::newRow("light") << "light";
    QTest::newRow("dark") << "dark";
}

void tst_Appearance::textsReadOnTheirBackgrounds() {
    QFETCH(QString, scheme);
    QApplication::setPalette(scheme == QLatin1String("dark") ? DarkPalette() : LightPalette());
    QVERIFY(f.Make());

    struct Sample {
        QString what;
        QWidget* control;
    };
    QList<Sample> samples;
    QStringList problems;
    const auto check = [&](const QString& what, QWidget* control) {
        const Reading reading = Read(Grab(control));
        if (qEnvironmentVariableIsSet("QUANTORIA_SCREENSHOTS"))
            Grab(control).save(qEnvironmentVariable("QUANTORIA_SCREENSHOTS") + QLatin1Char('/') +
                               what + QStringLiteral(".png"));
        const double ratio = Wcag(reading.text, reading.background);
        if (reading.textPixels < 10)
            problems << QStringLiteral("%1: no text seen (%2 on %3?)")
                            .arg(what, reading.text.name(), reading.background.name());
        else if (ratio < 4.5)
            problems << QStringLiteral("%1: %2 on %3, %4 : 1")
                            .arg(what, reading.text.name(), reading.background.name())
                            .arg(ratio, 0, 'f', 2);
    };

    // Rows with text in every box: row 1 active (yellow), rows 2 to 5 in the edit colour they
    // have before any row is left, results on silver.
    for (int row = 0; row < TfrmMain::kRows; ++row) {
        EditExp(w, row)->setText(QStringLiteral("(12+34)*3"));
        EditResult(w, row)->setText(QStringLiteral("-1,234.56"));
        EditResult(w, row)->setCursorPosition(0);
    }
    Find<THistoryMemo>(w, "m_memoHistory")
        ->setPlainText(QStringLiteral("\n1/1/2026 1:00:00 PM\n(12+34)*3\n=\n138.00"));
    Save(w.get(), QStringLiteral("main-start-") + scheme);
    for (int row = 0; row < TfrmMain::kRows; ++row) {
        const QString n = QString::number(row + 1);
        check(QStringLiteral("Expression box %1 %2").arg(n, row == 0 ? u"active" : u"idle"),
              EditExp(w, row));
        check(QStringLiteral("Result box ") + n, EditResult(w, row));
        check(QStringLiteral("Label ") + n, RowLabel(w, row));
    }
    // Row 3 entered: it is yellow, the others white.
    EditExp(w, 2)->setFocus(Qt::TabFocusReason);
    EditExp(w, 2)->deselect();
    check(QStringLiteral("Expression box 3 active"), EditExp(w, 2));
    check(QStringLiteral("Expression box 1 idle"), EditExp(w, 0));
    check(QStringLiteral("Expression box 5 idle"), EditExp(w, 4));
    check(QStringLiteral("Precision label"), Find<QLabel>(w, "labelPrecision"));
    check(QStringLiteral("History label"), Find<QLabel>(w, "labelHistory"));
    check(QStringLiteral("History memo"), Find<THistoryMemo>(w, "m_memoHistory"));
    for (TLabel* link :
         {Find<TLabel>(w, "LabelHideHistory"), Find<TLabel>(w, "labelEraseHistory")}) {
        check(link->text() + QStringLiteral(" link"), link);
        Hover(link);
        check(link->text() + QStringLiteral(" link after a hover"), link);
    }
    Save(w.get(), QStringLiteral("main-") + scheme);

    const auto about = MakeAbout();
    for (const char* name : {"lblProductFullName", "lblVersion", "Label3", "Label4", "Label5"}) {
        QLabel* label = Find<QLabel>(about, name);
        check(QStringLiteral("About label \"%1\"").arg(label->text()), label);
    }
    for (TLabel* link : {Find<TLabel>(about, "labelWeb"), Find<TLabel>(about, "labelMail")}) {
        check(QStringLiteral("About link ") + link->accessibleName(), link);
        Hover(link);
        check(QStringLiteral("About link %1 after a hover").arg(link->accessibleName()), link);
    }
    Save(about.get(), QStringLiteral("about-") + scheme);
    QVERIFY2(problems.isEmpty(), qPrintable(QStringLiteral("\n  ") + problems.join(u"\n  ")));
}

QTEST_MAIN(tst_Appearance)
#include "tst_Appearance.moc"
