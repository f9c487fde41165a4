// CAboutDialog: "О программе...": the program's name, its maker with a hyperlink to the maker's
// web site, a picture and "Версия: " with the program's version from the build.
#pragma once

#include <QDialog>

class QLabel;

namespace zelhart::ui {

class CHyperLink;

// The version the build gives the program.
QString ProgramVersion();

class CAboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDialog(QWidget* parent = nullptr);
    QLabel* VersionLabel() const { return version_; }
    CHyperLink* Link() const { return link_; }

  private:
    QLabel* version_;
    CHyperLink* link_;
};

} // namespace zelhart::ui
