// The four most recently used files, kept with the program's settings (section "Recent File List",
// values File1..File4, the newest first).
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

namespace zelhart::ui {

class RecentFileList {
  public:
    static constexpr int kSize = 4;

    // The program's own settings file.
    RecentFileList();
    ~RecentFileList();

    const QStringList& Files() const { return files_; }
    // Puts `path` first (absolute), dropping an older entry of it and the oldest beyond four.
    void Add(const QString& path);
    void Remove(const QString& path);

  private:
    void Save();

    std::unique_ptr<QSettings> settings_;
    QStringList files_;
};

} // namespace zelhart::ui
