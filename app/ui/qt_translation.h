// Qt's own texts (file and print dialogs, edit menus, standard buttons) in the user's language
// when that is Russian, so the window speaks one language throughout.
#pragma once

namespace zelhart::ui {

// Installs Qt's Russian translation (qtbase_ru.qm of Qt's translations directory) once per process
// when the locale's language is Russian; true when it is installed.
bool InstallQtTranslation();

} // namespace zelhart::ui
