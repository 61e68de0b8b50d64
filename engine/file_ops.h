#pragma once

#include <QString>

// File operations of the run. Paths are plain strings; "\" in them counts as a delimiter too.

// Moves a file, never replacing an existing one (also when another process races for the name),
// across file systems too: the final name never shows a partial file, and the source is removed
// only after its copy is complete and on disk. False when the file was not moved.
bool MoveFileNoReplace(const QString& from, const QString& to);
// Deletes a file; false when it could not.
bool DeleteFilePath(const QString& path);
// True when a regular file, or a link to one, exists at path.
bool FileExists(const QString& path);
// Creates the folder and every missing parent. The outcome is not reported, except that an empty
// path throws EngineError "Unable to create directory".
void ForceDirectories(const QString& path);
// path with "/" appended unless it already ends in "/" or "\"; the empty path becomes "/".
QString IncludeTrailingDelimiter(const QString& path);
// Typed or template-made text as a path: every "\" becomes "/".
QString ToNativePath(const QString& path);
// The file-name part of a list item: the text after its last "/".
QString ExtractFileName(const QString& item);
