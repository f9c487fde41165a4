// What the page tests share: finding a page's controls by their ids and acting as the user does.
#pragma once

#include "controls.h"
#include "test_world.h"
#include "view.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <clocale>
#include <string>

namespace zelhart::ui::testing {

template <class W = QWidget> W* Control(QWidget* page, const char* name) {
    W* w = page->findChild<W*>(QString::fromLatin1(name));
    if (!w) qFatal("no control %s", name);
    return w;
}

// The user picks entry `index` of a list.
inline void Choose(QComboBox* combo, int index) {
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

inline QStringList Entries(const QComboBox* combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// Key presses carrying any character (QTest's key clicks take ASCII only).
inline void Keys(QWidget* w, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
    }
}

// The user empties an edit and types `text`.
inline void Type(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// The numeric locale for one scope ("C" again after it).
class NumericLocale {
  public:
    explicit NumericLocale(const char* name) : ok_(std::setlocale(LC_NUMERIC, name) != nullptr) {}
    ~NumericLocale() { std::setlocale(LC_NUMERIC, "C"); }
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

// Waits until no link operation runs (its messages go on meanwhile).
inline void WaitIdle(TestWorld& world) {
    world.app->Runner().WaitUntilIdle();
}

} // namespace zelhart::ui::testing
