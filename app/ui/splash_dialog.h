// CSplashDlg: the start-up window, a picture without a frame. Shown modally at start; it closes
// itself on the first tick of a zero-period timer, as soon as it has been shown.
#pragma once

#include <QDialog>

namespace zelhart::ui {

class CSplashDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CSplashDlg(QWidget* parent = nullptr);
    // The picture: the program's title on a plain panel.
    static QPixmap Picture();

  protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace zelhart::ui
