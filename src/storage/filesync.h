#pragma once

#include <QString>

// Making file contents and folder entries durable before anything relies on
// them: a copy is flushed before it is renamed, and the folder after.
// Both return false with errno set.
namespace FileSync {

// fsync, or with dataOnly fdatasync (enough while a file is still growing).
bool file(const QString &path, bool dataOnly = false);
bool folder(const QString &path);

}
