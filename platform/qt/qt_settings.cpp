#include "qt_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

namespace mdq::platform {

QtSettingsStore::QtSettingsStore()
    : path_(QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
                .filePath(QStringLiteral("mdq/mdq.ini"))) {}

std::string QtSettingsStore::location() const { return path_.toStdString(); }

SettingsStore::Read QtSettingsStore::read(std::map<std::string, std::string>* values,
                                          std::string* why) {
  if (!QFileInfo::exists(path_)) return Read::Missing;
  // QSettings reads an unreadable file as an empty one: ask first.
  QFile f(path_);
  if (!f.open(QFile::ReadOnly)) {
    *why = "cannot read it (" + f.errorString().toStdString() + ")";
    return Read::Unreadable;
  }
  f.close();
  QSettings s(path_, QSettings::IniFormat);
  const QStringList keys = s.allKeys();
  if (s.status() != QSettings::NoError) {
    *why = s.status() == QSettings::FormatError ? "it is not a valid settings file"
                                                 : "cannot read it";
    return Read::Unreadable;
  }
  for (const QString& k : keys) {
    const QVariant v = s.value(k);
    // An unquoted comma in a hand-edited value reads as a list.
    const QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(',')
                                                               : v.toString();
    (*values)[k.toStdString()] = text.toStdString();
  }
  return Read::Ok;
}

bool QtSettingsStore::write(const std::map<std::string, std::string>& values, std::string* why) {
  if (!QDir().mkpath(QFileInfo(path_).absolutePath())) {
    *why = "cannot create the folder " + QFileInfo(path_).absolutePath().toStdString();
    return false;
  }
  QSettings s(path_, QSettings::IniFormat);
  s.clear();
  for (const auto& [k, v] : values)
    s.setValue(QString::fromStdString(k), QString::fromStdString(v));
  s.sync();
  if (s.status() != QSettings::NoError) {
    *why = "the file cannot be written";
    return false;
  }
  return true;
}

std::string QtSettingsStore::setAside() {
  const QString aside = path_ + QStringLiteral(".bad");
  QFile::remove(aside);
  return QFile::rename(path_, aside) ? aside.toStdString() : std::string();
}

}  // namespace mdq::platform
