// quantoria-eval: evaluates expressions the way the calculator window does and prints, for each,
// the result text or the message the window would show.

#include "Errors.h"
#include "Evaluation.h"
#include "ResultFormat.h"
#include "ScriptEngine.h"
#include "SystemLocale.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

int Usage() {
    std::fputs("usage: quantoria-eval [--precision N] [--no-separators] [EXPRESSION...]\n"
               "Evaluates each EXPRESSION, or each line of standard input, and prints one line\n"
               "per expression: the result, or the message the calculator would show.\n"
               "N is 0 to 9 (default 2).\n",
               stderr);
    return 2;
}

void PrintLine(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    int precision = 2;
    bool separators = true;
    QStringList expressions;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--precision") && i + 1 < args.size()) {
            bool ok = false;
            precision = args[++i].toInt(&ok);
            if (!ok || precision < 0 || precision > 9)
                return Usage();
        } else if (args[i] == QLatin1String("--no-separators")) {
            separators = false;
        } else if (args[i] == QLatin1String("--help") || args[i] == QLatin1String("-h")) {
            Usage();
            return 0;
        } else if (args[i] == QLatin1String("--")) {
            expressions += args.mid(i + 1);
            break;
        } else {
            expressions += args[i];
        }
    }

    SystemLocale locale;
    const QString pattern = BuildResultFormatText(separators, precision);
    std::unique_ptr<ScriptControl> engine;
    int status = 0;
    try {
        engine = CreateOleObject(kScriptControlProgId);
        engine->SetLanguage(QStringLiteral("JavaScript"));
    } catch (const Exception& e) {
        PrintLine(ErrorBoxText(e.Message()));
        status = 1;
    }

    auto evaluate = [&](const QString& expression) {
        if (expression.isEmpty()) {
            PrintLine(QString());
            return;
        }
        try {
            PrintLine(EvaluateExpression(engine.get(), expression, pattern, locale));
        } catch (const EOleSysError& e) {
            PrintLine(e.Message()); // shown in the row's result box
            status = 1;
        } catch (const Exception& e) {
            PrintLine(ErrorBoxText(e.Message())); // shown in the error box
            status = 1;
        }
    };

    if (!expressions.isEmpty()) {
        for (const QString& expression : expressions)
            evaluate(expression);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            evaluate(QString::fromLocal8Bit(line.data(), qsizetype(line.size())));
        }
    }
    return status;
}
