#include "hyperlink.h"

#include "core/hyperlink_failure.h"
#include "modal.h"
#include "qt_text.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMouseEvent>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace zelhart::ui {

CHyperLink::CHyperLink(QWidget* parent) : QLabel(parent) {
    setObjectName("hyperlink186");
    setCursor(Qt::PointingHandCursor);
    ApplyLook();
}

void CHyperLink::SetURL(const QString& target) {
    target_ = target;
    if (text().isEmpty()) setText(target);
    setToolTip(target);
    FitToText();
}

void CHyperLink::SetVisited(bool visited) {
    visited_ = visited;
    ApplyLook();
}

void CHyperLink::ApplyLook() {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, visited_ ? kVisitedColor : kLinkColor);
    setPalette(p);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    update();
}

void CHyperLink::FitToText() {
    // Keep the edge the alignment names (the centre for centred text) and take the text's size.
    const QRect old = geometry();
    const QSize size = fontMetrics().size(Qt::TextSingleLine, text()) + QSize(2, 2);
    QRect fitted(old.topLeft(), size);
    if (alignment() & Qt::AlignHCenter) fitted.moveLeft(old.center().x() - size.width() / 2);
    else if (alignment() & Qt::AlignRight) fitted.moveRight(old.right());
    if (alignment() & Qt::AlignVCenter) fitted.moveTop(old.center().y() - size.height() / 2);
    setGeometry(fitted);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) GotoURL();
    QLabel::mouseReleaseEvent(event);
}

bool CHyperLink::GotoURL() {
    const QUrl url = QUrl::fromUserInput(target_);
    LinkFailure failure = LinkFailure::NoHandler;
    int code = 0;
    if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) {
        failure = LinkFailure::NotFound;
    } else if (QDesktopServices::openUrl(url)) {
        SetVisited(true);
        return true;
    } else {
        for (const QString& browser : kFallbackBrowsers) {
            const QString program = QStandardPaths::findExecutable(browser);
            if (program.isEmpty()) continue;
            QProcess process;
            process.setProgram(program);
            process.setArguments({url.toString()});
            process.setStandardInputFile(QProcess::nullDevice());
            if (process.startDetached()) { // returns once the browser runs; it is not waited for
                SetVisited(true);
                return true;
            }
            modal::Message(hart::str::kCreateProcessFailed, Text(hart::str::kCreateProcessFailed),
                           hart::MessageIcon::Information, window());
            failure = LinkFailure::Other;
            code = int(process.error());
        }
    }
    modal::Ask(hart::str::kLinkCannotOpen, Qs(LinkFailureMessage(failure, code)), hart::MessageButtons::Ok,
               hart::MessageIcon::Warning);
    return false;
}

} // namespace zelhart::ui
