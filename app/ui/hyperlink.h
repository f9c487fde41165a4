// CHyperLink: a text that opens its target when clicked. Blue until visited, then purple;
// underlined; the hand cursor over it; the target as its tool tip; sized to its text.
//
// Opening: the desktop's URL handler first, then the fallback browsers xdg-open and x-www-browser,
// each started without waiting for it. When none could open the target: message 925 with the
// reason (no handler 921, a local file that does not exist 913, anything else 924 with the code).
#pragma once

#include <QColor>
#include <QLabel>
#include <QStringList>

namespace zelhart::ui {

class CHyperLink : public QLabel {
    Q_OBJECT
  public:
    static inline const QColor kLinkColor = QColor(0, 0, 238);
    static inline const QColor kVisitedColor = QColor(85, 26, 139);
    // The fallback browsers, tried in this order after the desktop's handler.
    static inline const QStringList kFallbackBrowsers = {"xdg-open", "x-www-browser"};

    explicit CHyperLink(QWidget* parent = nullptr);

    // Stores the target, fits the control to its text and updates the tool tip. With an empty
    // text the control shows the target.
    void SetURL(const QString& target);
    QString URL() const { return target_; }
    bool Visited() const { return visited_; }
    void SetVisited(bool visited);

    // Opens the target; true when a handler took it (the link is then visited).
    bool GotoURL();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void ApplyLook();
    void FitToText();

    QString target_;
    bool visited_ = false;
};

} // namespace zelhart::ui
