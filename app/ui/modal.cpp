#include "modal.h"

#include "core/marshalled_services.h"
#include "qt_text.h"

#include "hart/strings.h"

#include <QAbstractButton>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

#include <deque>

namespace zelhart::ui::modal {
namespace {

using hart::MessageButtons;
using hart::MessageIcon;
using hart::UserAnswer;

struct Script {
    bool on = false;
    std::deque<UserAnswer> answers;
    std::deque<QString> fileNames;
    std::deque<QString> printers;
    std::deque<DialogScript> dialogs;
    std::vector<Record> log;
};

Script& State() {
    static Script script;
    return script;
}

QMessageBox::Icon IconOf(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Stop:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ButtonsOf(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::Ok:
        return QMessageBox::Ok;
    case MessageButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MessageButtons::RetryCancel:
        break;
    }
    return QMessageBox::Retry | QMessageBox::Cancel;
}

UserAnswer AnswerOf(int button) {
    switch (button) {
    case QMessageBox::Ok:
        return UserAnswer::Ok;
    case QMessageBox::Yes:
        return UserAnswer::Yes;
    case QMessageBox::No:
        return UserAnswer::No;
    case QMessageBox::Retry:
        return UserAnswer::Retry;
    default: // Cancel, Abort, Escape
        return UserAnswer::Cancel;
    }
}

QString Title() {
    return Text(hart::str::kApplicationTitle);
}

UserAnswer ScriptedAnswer(Kind kind, int stringId, const QString& text, MessageButtons buttons) {
    Script& s = State();
    s.log.push_back({kind, stringId, text, buttons});
    if (s.answers.empty()) return QuietAnswer(buttons);
    const UserAnswer answer = s.answers.front();
    s.answers.pop_front();
    return answer;
}

QString ScriptedName(std::deque<QString>& queue, Kind kind, const QString& what) {
    State().log.push_back({kind, 0, what});
    if (queue.empty()) return {};
    QString name = queue.front();
    queue.pop_front();
    return name;
}

bool ScriptedPrinter(QPrinter& printer, Kind kind) {
    const QString pdf = ScriptedName(State().printers, kind, {});
    if (pdf.isEmpty()) return false;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    return true;
}

} // namespace

std::unique_ptr<QMessageBox> MakeAskUserBox(const QString& text, MessageButtons buttons, MessageIcon icon) {
    auto box = std::make_unique<QMessageBox>(IconOf(icon), Title(), text, ButtonsOf(buttons));
    // The program's own captions, whatever language the toolkit speaks.
    const struct {
        QMessageBox::StandardButton button;
        int caption;
    } captions[] = {
        {QMessageBox::Ok, hart::str::kButtonContinue}, {QMessageBox::Cancel, hart::str::kButtonCancel},
        {QMessageBox::Retry, hart::str::kButtonRetry},  {QMessageBox::Yes, hart::str::kButtonYes},
        {QMessageBox::No, hart::str::kButtonNo},        {QMessageBox::Abort, hart::str::kButtonAbort},
    };
    for (const auto& c : captions)
        if (QAbstractButton* b = box->button(c.button)) b->setText(Text(c.caption));
    return box;
}

void Message(int stringId, const QString& text, MessageIcon icon, QWidget* parent) {
    if (Scripted()) {
        State().log.push_back({Kind::Message, stringId, text, MessageButtons::Ok});
        return;
    }
    QMessageBox box(IconOf(icon), Title(), text, QMessageBox::Ok, parent);
    box.exec();
}

UserAnswer Ask(int stringId, const QString& text, MessageButtons buttons, MessageIcon icon) {
    if (Scripted()) return ScriptedAnswer(Kind::Question, stringId, text, buttons);
    return AnswerOf(MakeAskUserBox(text, buttons, icon)->exec());
}

UserAnswer FrameworkQuestion(int stringId, const QString& text, MessageButtons buttons, MessageIcon icon,
                             QWidget* parent) {
    if (Scripted()) return ScriptedAnswer(Kind::Question, stringId, text, buttons);
    QMessageBox box(IconOf(icon), Title(), text, ButtonsOf(buttons), parent);
    return AnswerOf(box.exec());
}

QString& LastFolder() {
    static QString folder;
    return folder;
}

QString StartFolder() {
    return LastFolder().isEmpty() ? QDir::homePath() : LastFolder();
}

void RememberFolder(const QString& file) {
    if (!file.isEmpty()) LastFolder() = QFileInfo(file).absolutePath();
}

QString OpenFileName(QWidget* parent, const QString& filter) {
    const QString name = Scripted() ? ScriptedName(State().fileNames, Kind::OpenFile, filter)
                                    : QFileDialog::getOpenFileName(parent, {}, StartFolder(), filter);
    RememberFolder(name);
    return name;
}

QString SaveFileName(QWidget* parent, const QString& suggested, const QString& filter) {
    const QString start = QFileInfo(suggested).isAbsolute() ? suggested : QDir(StartFolder()).filePath(suggested);
    const QString name = Scripted() ? ScriptedName(State().fileNames, Kind::SaveFile, start)
                                    : QFileDialog::getSaveFileName(parent, {}, start, filter);
    RememberFolder(name);
    return name;
}

bool PrintDialog(QPrinter& printer, QWidget* parent) {
    if (Scripted()) return ScriptedPrinter(printer, Kind::PrintDialog);
    QPrintDialog dialog(&printer, parent);
    dialog.setMinMax(1, 1); // the report is one page
    return dialog.exec() == QDialog::Accepted;
}

bool DefaultPrinter(QPrinter& printer) {
    if (Scripted()) return ScriptedPrinter(printer, Kind::DefaultPrinter);
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) return false;
    printer.setPrinterName(info.printerName());
    return true;
}

int Exec(QDialog& dialog) {
    if (!Scripted()) return dialog.exec();
    Script& s = State();
    s.log.push_back({Kind::Dialog, 0, dialog.objectName()});
    if (s.dialogs.empty()) return QDialog::Rejected;
    DialogScript script = std::move(s.dialogs.front());
    s.dialogs.pop_front();
    return script(dialog);
}

void SetScripted(bool on) {
    State().on = on;
}

bool Scripted() {
    return State().on;
}

void PushAnswer(UserAnswer answer) {
    State().answers.push_back(answer);
}

void PushFileName(const QString& name) {
    State().fileNames.push_back(name);
}

void PushPrinterPdf(const QString& pdfPath) {
    State().printers.push_back(pdfPath);
}

void PushDialog(DialogScript script) {
    State().dialogs.push_back(std::move(script));
}

void Reset() {
    Script& s = State();
    s.answers.clear();
    s.fileNames.clear();
    s.printers.clear();
    s.dialogs.clear();
    s.log.clear();
}

const std::vector<Record>& Log() {
    return State().log;
}

std::vector<int> LoggedIds() {
    std::vector<int> ids;
    for (const Record& r : State().log)
        if (r.kind == Kind::Message || r.kind == Kind::Question) ids.push_back(r.stringId);
    return ids;
}

} // namespace zelhart::ui::modal
