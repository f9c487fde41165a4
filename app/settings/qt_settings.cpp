#include "settings/qt_settings.h"

#include "hart/strings.h"

#include <QSettings>
#include <QString>

namespace zelhart::settings {
namespace {

// QSettings keeps the keys of its top level in the INI section [General] (and would write a group
// called "General" as [%General]); so the program's section "General" is that top level, and the
// file reads "[General]" / "PortSettings=...".
QString Key(std::string_view section, std::string_view key) {
    const QString name = QString::fromUtf8(key.data(), qsizetype(key.size()));
    if (section == "General") return name;
    return QString::fromUtf8(section.data(), qsizetype(section.size())) + QLatin1Char('/') + name;
}

std::string ApplicationTitle() {
    return std::string(hart::LoadString(hart::str::kApplicationTitle));
}

} // namespace

QtSettings::QtSettings() : QtSettings(kOrganisation, ApplicationTitle()) {}

QtSettings::QtSettings(const std::string& organisation, const std::string& application)
    : settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QString::fromStdString(organisation),
                                            QString::fromStdString(application))) {}

QtSettings::~QtSettings() = default;

int QtSettings::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    const QVariant value = settings_->value(Key(section, key));
    // Through the text: QVariant::toInt of a string beyond int's range cuts it to 32 bits and calls it
    // valid (99999999999 would read as 1215752191); QString::toInt refuses it.
    bool ok = false;
    const int number = value.toString().toInt(&ok);
    return value.isValid() && ok ? number : defaultValue;
}

void QtSettings::SetInt(std::string_view section, std::string_view key, int value) {
    settings_->setValue(Key(section, key), value);
    settings_->sync();
}

std::string QtSettings::FileName() const {
    return settings_->fileName().toStdString();
}

} // namespace zelhart::settings
