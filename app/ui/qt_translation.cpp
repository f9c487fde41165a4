#include "qt_translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace zelhart::ui {

bool InstallQtTranslation() {
    static QTranslator* installed = nullptr; // lives as long as the application object
    if (installed) return true;
    const QLocale locale = QLocale::system();
    if (locale.language() != QLocale::Russian || !QCoreApplication::instance()) return false;
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        std::fprintf(stderr, "4810PC: Qt's Russian translation (qtbase_ru.qm) is not installed\n");
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    QObject::connect(translator, &QObject::destroyed, [] { installed = nullptr; });
    return true;
}

} // namespace zelhart::ui
