// Every modal interaction of the program goes through here: message boxes, the question box, file
// and print dialogs, the printer used without a dialog, and the program's own dialogs. A test
// switches on scripting and says beforehand what each interaction answers; then nothing modal is
// ever shown, so QTest can drive the real main window without hanging on a box. Everything asked is
// recorded either way.
#pragma once

#include "hart/user_interface.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QDialog;
class QMessageBox;
class QPrinter;
class QWidget;

namespace zelhart::ui::modal {

// --- the interactions

// A plain message box of the framework: the application title as caption, one OK button with the
// standard caption, the icon.
void Message(int stringId, const QString& text, hart::MessageIcon icon, QWidget* parent = nullptr);
// The program's question box (AskUser): the button captions are the program's own.
hart::UserAnswer Ask(int stringId, const QString& text, hart::MessageButtons buttons, hart::MessageIcon icon);
// A question of the framework (save changes?): standard button captions.
hart::UserAnswer FrameworkQuestion(int stringId, const QString& text, hart::MessageButtons buttons,
                                   hart::MessageIcon icon, QWidget* parent);
// File dialogs; an empty name when cancelled. They start in the folder of the file last chosen or
// opened (the home folder before that); a suggested name without a folder is placed there.
QString OpenFileName(QWidget* parent, const QString& filter);
QString SaveFileName(QWidget* parent, const QString& suggested, const QString& filter);
QString StartFolder();
// Remembers the folder of `file` (absolute or relative to the working directory) for the next dialog.
void RememberFolder(const QString& file);
// The print dialog for `printer` (one page); true when the user chose to print.
bool PrintDialog(QPrinter& printer, QWidget* parent);
// Sets `printer` to the system's default printer; false when there is none.
bool DefaultPrinter(QPrinter& printer);
// Shows `dialog` modally and returns its result.
int Exec(QDialog& dialog);

// The question box as Ask shows it, for a look at its captions.
std::unique_ptr<QMessageBox> MakeAskUserBox(const QString& text, hart::MessageButtons buttons,
                                            hart::MessageIcon icon);

// --- scripting (tests)

enum class Kind { Message, Question, OpenFile, SaveFile, PrintDialog, DefaultPrinter, Dialog };

struct Record {
    Kind kind;
    int stringId = 0;  // messages and questions
    QString text;      // the text; for dialogs the object name or window title
    hart::MessageButtons buttons = hart::MessageButtons::Ok;
};

// On: nothing modal is shown. Messages are only recorded; questions take the next scripted answer
// (else the answer that changes nothing); file dialogs the next scripted name (else cancelled);
// print dialogs and the default printer the next scripted PDF file (else cancelled / none);
// dialogs the next scripted action (else rejected).
void SetScripted(bool on);
bool Scripted();
void PushAnswer(hart::UserAnswer answer);
void PushFileName(const QString& name);
void PushPrinterPdf(const QString& pdfPath);
using DialogScript = std::function<int(QDialog& dialog)>;
void PushDialog(DialogScript script);
// Drops what is left of the script and the record.
void Reset();

const std::vector<Record>& Log();
// The string ids of the recorded messages and questions, in order.
std::vector<int> LoggedIds();

} // namespace zelhart::ui::modal
