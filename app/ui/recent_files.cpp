#include "recent_files.h"

#include "qt_text.h"
#include "settings/qt_settings.h"

#include <QFileInfo>
#include <QSettings>

namespace zelhart::ui {
namespace {
const QString kSection = QStringLiteral("Recent File List");
}

RecentFileList::RecentFileList()
    : settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QString::fromLatin1(settings::kOrganisation),
                                            Text(hart::str::kApplicationTitle))) {
    for (int i = 1; i <= kSize; ++i) {
        const QString file = settings_->value(kSection + QStringLiteral("/File%1").arg(i)).toString();
        if (!file.isEmpty() && !files_.contains(file)) files_.append(file);
    }
}

RecentFileList::~RecentFileList() = default;

void RecentFileList::Add(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    files_.removeAll(absolute);
    files_.prepend(absolute);
    while (files_.size() > kSize)
        files_.removeLast();
    Save();
}

void RecentFileList::Remove(const QString& path) {
    if (files_.removeAll(QFileInfo(path).absoluteFilePath()) > 0) Save();
}

void RecentFileList::Save() {
    settings_->remove(kSection);
    for (int i = 0; i < files_.size(); ++i)
        settings_->setValue(kSection + QStringLiteral("/File%1").arg(i + 1), files_[i]);
    settings_->sync();
}

} // namespace zelhart::ui
