// The printed report (to PDF, read back with pdftotext) and the program's start: a file argument,
// the print verbs, the headless --print-pdf, and what each does with bad input.
#include "ui_tests.h"

#include "core/report_content.h"
#include "modal.h"
#include "qt_text.h"
#include "report_printer.h"
#include "test_world.h"
#include "view.h"

#include "hart/strings.h"

#include <QFile>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <fstream>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

// What a PDF says, one line of text each, spaces collapsed (the label and its value column end up on
// one line).
QStringList PdfLines(const QString& pdf) {
    QProcess p;
    p.start("pdftotext", {"-layout", pdf, "-"});
    if (!p.waitForFinished(30000) || p.exitCode() != 0) return {"pdftotext failed: " + p.readAllStandardError()};
    QStringList lines;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const QString simple = line.simplified();
        if (!simple.isEmpty()) lines << simple;
    }
    return lines;
}

int PdfPages(const QString& pdf) {
    QProcess p;
    p.start("pdfinfo", {pdf});
    if (!p.waitForFinished(30000)) return -1;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n'))
        if (line.startsWith("Pages:")) return line.mid(6).trimmed().toInt();
    return -1;
}

// The lines the report of the known configuration must print, in order.
QStringList ExpectedKnownReport() {
    return {"Конфигурация Корвел-4810",
            "Тег датчика : TT-101",
            "Тип сенсора : PT100 (a = 0.00385)",
            "Соединение сенсора : 3-проводное",
            "Точка 4 мА : 0.00 °C",
            "Точка 20 мА : 100.00 °C",
            "Нижний предел диапазона : -200.00 °C",
            "Верхний предел диапазона : 850.00 °C",
            "Демпфирование : 1.0 с",
            "Тип аварии : Высокий",
            "Низкий уровень аварии : 3.60 мА",
            "Высокий уровень аварии : 21.00 мА",
            "Нижнее насыщение : 3.80 мА",
            "Верхнее насыщение : 20.50 мА",
            "Фильтр 50/60 Гц : 50 Гц",
            "Защита записи : выключена",
            "Температура сенсора :",
            "Аналоговый выход :",
            "Температура датчика :",
            "Неисправность сенсора :",
            "Неисправность датчика :",
            "Версия программы :",
            "Версия аппаратной части :",
            "Конечный номер сборки :",
            "Дата сборки трансмиттера :"};
}

class ReportTest : public QObject {
    Q_OBJECT

  private slots:
    void theReportOfAReadTransmitterToPdf() {
        TestWorld world;
        world.Start();
        world.Window().RunCommand(kCmdReadDevice);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 30000);
        const QString pdf = QString::fromStdString(world.dir / "read.pdf");
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        QVERIFY(world.Window().View().PrintOn(printer));
        QCOMPARE(PdfPages(pdf), 1);
        const QStringList lines = PdfLines(pdf);
        // The values the pages show, every label, value and unit in order (live values drift: the
        // model's own numbers are compared).
        QStringList expected{"Конфигурация Корвел-4810"};
        for (const auto& section : ReportFromModel(world.Doc().Transmitter()).sections)
            for (const ReportRow& row : section)
                expected << (Text(row.labelId) + " " + Qs(ValueColumnText(row))).simplified();
        QCOMPARE(lines, expected);
        QVERIFY(lines.contains("Тег датчика : TT-101"));
        QVERIFY(lines.contains("Неисправность сенсора : Нет"));
        QCOMPARE(lines.filter(QRegularExpression("^Температура сенсора : \\d+\\.\\d\\d °C$")).size(), 1);
    }

    void theReportIsLaidOutInMillimetres() {
        // Positions on a PDF page: the title's top at 15 mm, the value column at 94 mm.
        TestWorld world;
        const QString file = world.SavedConfiguration();
        world.Start({file});
        const QString pdf = QString::fromStdString(world.dir / "layout.pdf");
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        QVERIFY(world.Window().View().PrintOn(printer));
        QProcess p;
        p.start("pdftotext", {"-bbox", pdf, "-"});
        QVERIFY(p.waitForFinished(30000));
        const QString html = QString::fromUtf8(p.readAllStandardOutput());
        // pdftotext gives points (1/72 inch): 25 mm = 70.9 pt, 94 mm = 266.5 pt, 15 mm = 42.5 pt.
        const QRegularExpression title(R"re(<word xMin="([\d.]+)" yMin="([\d.]+)"[^>]*>Конфигурация</word>)re");
        const auto t = title.match(html);
        QVERIFY(t.hasMatch());
        QVERIFY(qAbs(t.captured(1).toDouble() - 70.9) < 1.5);
        QVERIFY(qAbs(t.captured(2).toDouble() - 42.5) < 3.0);
        const QRegularExpression value(R"re(<word xMin="([\d.]+)"[^>]*>TT-101</word>)re");
        const auto v = value.match(html);
        QVERIFY(v.hasMatch());
        QVERIFY(v.captured(1).toDouble() > 266.5); // after ": " at the value column
        QVERIFY(v.captured(1).toDouble() < 266.5 + 15);
    }

    void startWithAFileOpensItAndABadFileEndsTheStartWithoutAWindow() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        QVERIFY(!world.Start({file}).has_value());
        QCOMPARE(world.Doc().GetPathName(), file.toStdString());
        QVERIFY(world.Window().isVisible());
        QVERIFY(modal::LoggedIds().empty());
        QVERIFY(world.app->Recent().Files().contains(file));

        TestWorld missing;
        QCOMPARE(missing.Start({QString::fromStdString(missing.dir / "nothing.4810")}), std::optional<int>(1));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kFailedToOpenDocument});
        QVERIFY(!missing.Window().isVisible());

        TestWorld foreign;
        const std::string text = foreign.dir / "notes.4810";
        std::ofstream(text) << "not a configuration";
        QCOMPARE(foreign.Start({QString::fromStdString(text)}), std::optional<int>(1));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kUnexpectedFileFormat});
        QVERIFY(!foreign.Window().isVisible());
    }

    void thePrintVerbPrintsWithoutADialogAndExits() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        const QString pdf = QString::fromStdString(world.dir / "verb.pdf");
        modal::PushPrinterPdf(pdf); // the default printer
        QCOMPARE(world.Start({"/p", file}), std::optional<int>(0));
        QVERIFY(!world.Window().isVisible());
        for (const modal::Record& r : modal::Log())
            QVERIFY(r.kind != modal::Kind::PrintDialog);
        QCOMPARE(PdfLines(pdf), ExpectedKnownReport());

        TestWorld failing;
        const QString file2 = failing.SavedConfiguration();
        modal::PushPrinterPdf(QString::fromStdString(failing.dir / "no/such/dir/out.pdf"));
        QCOMPARE(failing.Start({"--print", file2}), std::optional<int>(1));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kPrintFailed});

        TestWorld noFile;
        QCOMPARE(noFile.Start({"/p", QString::fromStdString(noFile.dir / "nothing.4810")}), std::optional<int>(1));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kFailedToOpenDocument});

        TestWorld noPrinter;
        const QString file3 = noPrinter.SavedConfiguration();
        QCOMPARE(noPrinter.Start({"/pt", file3, "No Such Printer", "driver", "port"}), std::optional<int>(1));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kPrinterNotFound});

        TestWorld badLine;
        QCOMPARE(badLine.Start({"/pt", "a.4810"}), std::optional<int>(2));
    }

    void printPdfWithoutAWindow() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        const QString pdf = QString::fromStdString(world.dir / "headless.pdf");
        auto run = [](const QStringList& args, QString* err) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove("QT_QPA_PLATFORM"); // the program needs no display for this
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
            p.setProcessEnvironment(env);
            p.start(ZELHART_4810PC, args);
            if (!p.waitForFinished(60000)) return -1;
            *err = QString::fromUtf8(p.readAllStandardError());
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QString err;
        QCOMPARE(run({"--print-pdf", pdf, file}, &err), 0);
        QCOMPARE(PdfPages(pdf), 1);
        QCOMPARE(PdfLines(pdf), ExpectedKnownReport());
        QCOMPARE(run({"--print-pdf", QString::fromStdString(world.dir / "x.pdf"),
                      QString::fromStdString(world.dir / "nothing.4810")},
                     &err),
                 1);
        QVERIFY2(err.contains("Failed to open document."), qPrintable(err));
        QCOMPARE(run({"--print-pdf", QString::fromStdString(world.dir / "no/dir/x.pdf"), file}, &err), 1);
        QVERIFY2(err.contains(Text(str::kPrintFailed).arg("")), qPrintable(err));
        QCOMPARE(run({"--print-pdf", pdf}, &err), 2);
        QVERIFY(err.contains("usage: 4810PC"));
        // Without a display the window cannot be shown: said plainly, not a crash.
        QCOMPARE(run({file}, &err), 1);
        QVERIFY2(err.contains("no display"), qPrintable(err));
    }
};

} // namespace

std::unique_ptr<QObject> MakeReportTest() {
    return std::make_unique<ReportTest>();
}

} // namespace zelhart::ui::testing

#include "report_test.moc"
