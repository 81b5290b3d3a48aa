// The floor that bench_startup measures the calculator against: a bare Qt window with as many
// controls of the same kinds as the calculator's main window and a JavaScript engine created
// before the window shows, and nothing else (no files, no tray icon, no single-instance lock).
#include <QApplication>
#include <QCheckBox>
#include <QJSEngine>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QToolButton>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare window"));

    QMenu* file = window.menuBar()->addMenu(QStringLiteral("File"));
    file->addAction(QStringLiteral("Exit"), &application, &QCoreApplication::quit);
    window.menuBar()->addAction(QStringLiteral("Example"));
    QMenu* help = window.menuBar()->addMenu(QStringLiteral("Help"));
    help->addAction(QStringLiteral("Home Page"));
    help->addAction(QStringLiteral("About"));

    auto* client = new QWidget(&window);
    client->setFixedSize(910, 432);
    window.setCentralWidget(client);

    for (int row = 0; row < 5; ++row) {
        const int y = 8 + 24 * row;
        const QString n = QString::number(row + 1);
        auto* label = new QLabel(QStringLiteral("Expression") + n, client);
        label->setGeometry(8, y + 2, 78, 16);
        auto* expression = new QLineEdit(client);
        expression->setGeometry(88, y, 305, 24);
        auto* equal = new QToolButton(client);
        equal->setText(QStringLiteral("="));
        equal->setGeometry(400, y, 23, 22);
        auto* result = new QLineEdit(client);
        result->setGeometry(430, y, 121, 24);
        result->setReadOnly(true);
    }

    for (int key = 0; key < 23; ++key) {
        auto* button = new QToolButton(client);
        button->setText(QString::number(key));
        button->setGeometry(8 + 104 * (key % 4), 145 + 50 * (key / 4), 65, 33);
    }
    for (int check = 0; check < 3; ++check) {
        auto* box = new QCheckBox(QStringLiteral("Option ") + QString::number(check + 1), client);
        box->setGeometry(416, 160 + 40 * check, 110, 17);
        box->setChecked(true);
    }
    auto* spin = new QSpinBox(client);
    spin->setGeometry(520, 300, 33, 26);
    spin->setRange(0, 9);
    spin->setValue(2);
    auto* memo = new QPlainTextEdit(client);
    memo->setGeometry(559, 32, 347, 399);

    QJSEngine engine;
    window.show();
    return QApplication::exec();
}
