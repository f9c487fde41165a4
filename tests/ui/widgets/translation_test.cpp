// Qt's own texts in Russian when the locale is Russian (ctest runs this class with
// LANG=ru_RU.UTF-8): the save dialog and the "save changes?" buttons of the started program.
#include "ui_tests.h"

#include "test_world.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>
#include <QTest>

namespace zelhart::ui::testing {
namespace {

QStringList ButtonTexts(const QWidget& dialog) {
    QStringList texts;
    for (const QAbstractButton* b : dialog.findChildren<QAbstractButton*>())
        if (b->isVisible()) texts << b->text().remove('&');
    return texts;
}

class TranslationTest : public QObject {
    Q_OBJECT

  private slots:
    void qtSpeaksRussianInTheRussianLocale() {
        if (QLocale::system().language() != QLocale::Russian) QSKIP("run with LANG=ru_RU.UTF-8");
        TestWorld world;
        world.Start();
        QFileDialog save(&world.Window(), {}, QString::fromStdString(world.dir.path()));
        save.setOption(QFileDialog::DontUseNativeDialog);
        save.setAcceptMode(QFileDialog::AcceptSave);
        save.show();
        const QStringList saveTexts = ButtonTexts(save);
        save.close();
        QVERIFY2(saveTexts.contains("Сохранить") && saveTexts.contains("Отмена"), qPrintable(saveTexts.join('|')));
        QMessageBox question(QMessageBox::Warning, {}, {}, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                             &world.Window());
        question.show();
        const QStringList questionTexts = ButtonTexts(question);
        question.close();
        QCOMPARE(questionTexts.size(), 3);
        for (const char* text : {"Да", "Нет", "Отмена"})
            QVERIFY2(questionTexts.contains(text), qPrintable(questionTexts.join('|')));
    }
};

} // namespace

std::unique_ptr<QObject> MakeTranslationTest() {
    return std::make_unique<TranslationTest>();
}

} // namespace zelhart::ui::testing

#include "translation_test.moc"
