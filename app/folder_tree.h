#pragma once

#include <QList>
#include <QString>
#include <QTreeWidget>
#include <functional>
#include <memory>

class QFile;
class QIcon;
class QSocketNotifier;
class QStyle;

// What a top-level place is, for its icon.
enum class VolumeKind { FixedDisk, Home, Removable, Optical, Network };

// A top-level place of the folder tree: the file system root, the home folder or a volume.
struct Volume {
  QString path;   // absolute, without a trailing "/" except for the root
  QString label;  // the node's text
  // A volume's medium is not touched until the user expands it, so it always has an expand mark.
  bool removable = false;
  VolumeKind kind = VolumeKind::FixedDisk;
};

// The kind of a mounted volume: by its file system type a network share or an optical disc; by its
// device (removableDevice: the kernel says the medium can be taken out) or by where the desktop
// mounts media (below /media or /run/media) removable; otherwise a fixed disk.
VolumeKind KindOfMount(const QString& root, const QByteArray& fileSystemType, bool removableDevice);

// The icon of a kind: the desktop theme's where it has one, else the style's standard icon.
QIcon VolumeIcon(VolumeKind kind, const QStyle* style);

// The root "/", the user's home folder, then the mounted volumes ordered by path; each labelled
// with its name and its path in parentheses.
QList<Volume> MountedVolumes();

// The folder tree: the volumes at the top, folders below read when a node is first expanded,
// sorted by the locale without regard to case, hidden folders left out. Node texts cannot be
// edited; the selection stays visible without the focus.
class FolderTree : public QTreeWidget {
  Q_OBJECT

 public:
  // Reads the volumes from source; the default source is MountedVolumes(), and then the tree
  // follows mounts and unmounts while it lives.
  explicit FolderTree(QWidget* parent = nullptr, std::function<QList<Volume>()> source = {});
  ~FolderTree() override;

  // The selected node's folder without its trailing "/" (the root keeps it); empty for none.
  QString CurrentFolder() const;
  // Selects path's node, reading and expanding its parents; when path is not reachable in the
  // tree, the nearest reachable parent. False when no top-level node holds path.
  bool SelectFolder(const QString& path);
  // Selects the root of the volume that holds the process's current directory.
  void SelectStartFolder();
  // Reads the volumes again: gone ones are removed, new ones added in order; a selection that went
  // with its node moves to the first node.
  void RefreshVolumes();

 signals:
  // The selected folder changed (CurrentFolder()).
  void FolderChanged(const QString& folder);

 private:
  QTreeWidgetItem* AddVolumeNode(const Volume& volume, int index);
  void ReadChildren(QTreeWidgetItem* node);
  static QString NodePath(const QTreeWidgetItem* node);

  std::function<QList<Volume>()> source_;
  std::unique_ptr<QFile> mounts_;
  QSocketNotifier* mountNotifier_ = nullptr;
};
