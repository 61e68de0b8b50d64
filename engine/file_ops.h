#pragma once

#include <QString>

// File operations of the run. Paths are native: only "/" is a delimiter here. Text that a person
// typed or a template made goes through ToNativePath first, so that its "\" counts as "/".

// Moves a file, never replacing an existing one (also when another process races for the name),
// across file systems too: the final name never shows a partial file, and the source is removed
// only after its copy is complete and on disk. False when the file was not moved; then the source
// is where it was, and *error (when given) holds the errno that explains why.
bool MoveFileNoReplace(const QString& from, const QString& to, int* error = nullptr);
// Deletes a file; false when it could not.
bool DeleteFilePath(const QString& path);
// True when a regular file, or a link to one, exists at path.
bool FileExists(const QString& path);
// True when a folder, or a link to one, exists at path.
bool DirectoryExists(const QString& path);
// Creates the folder and every missing parent. The outcome is not reported, except that an empty
// path throws EngineError "Unable to create directory".
void ForceDirectories(const QString& path);
// path with "/" appended unless it already ends in "/" or "\"; the empty path becomes "/".
QString IncludeTrailingDelimiter(const QString& path);
// Typed or template-made text as a path: every "\" becomes "/".
QString ToNativePath(const QString& path);
// The file-name part of a list item: the text after its last "/".
QString ExtractFileName(const QString& item);
