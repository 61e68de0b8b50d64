#include "app/folder_tree.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QSocketNotifier>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

#include "base/native_name.h"

namespace {

// The node's folder, always ending in "/".
constexpr int kPathRole = Qt::UserRole;
constexpr int kReadRole = Qt::UserRole + 1;

QString WithSlash(const QString& path) { return path.endsWith(u'/') ? path : path + u'/'; }

// Stops at the first subfolder: enough for the expand mark.
bool HasSubfolder(const QString& path) { return !SubfolderNames(path, 1).isEmpty(); }

// Where the desktop mounts media that the user plugs in.
bool IsMediaMount(const QString& root) {
  return root.startsWith(QLatin1String("/media/")) || root.startsWith(QLatin1String("/run/media/"));
}

// Kernel and runtime file systems hold no books.
bool IsSystemMount(const QString& root) {
  if (IsMediaMount(root)) return false;
  for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/snap", "/boot", "/var/lib"}) {
    const QLatin1String p(prefix);
    if (root == p || root.startsWith(p + u'/')) return true;
  }
  return false;
}

QString Labelled(const QString& name, const QString& path) {
  return QStringLiteral("%1 (%2)").arg(name, path);
}

// The kernel's word on a block device (a partition asks its disk): can the medium be taken out.
bool IsRemovableDevice(const QByteArray& device) {
  if (!device.startsWith("/dev/")) return false;
  const QString node = QFileInfo(QString::fromLocal8Bit(device)).canonicalFilePath();
  const QString block =
      QFileInfo(QStringLiteral("/sys/class/block/") + node.section(u'/', -1)).canonicalFilePath();
  if (block.isEmpty()) return false;
  for (const QString& folder : {block, block.section(u'/', 0, -2)}) {
    QFile flag(folder + QStringLiteral("/removable"));
    if (flag.open(QIODevice::ReadOnly)) return flag.read(1) == "1";
  }
  return false;
}

}  // namespace

VolumeKind KindOfMount(const QString& root, const QByteArray& fileSystemType, bool removableDevice) {
  static const QList<QByteArray> network = {"nfs",        "nfs4",        "cifs",  "smb3",       "smbfs",
                                            "ncpfs",      "afs",         "9p",    "ceph",       "glusterfs",
                                            "fuse.sshfs", "fuse.rclone", "davfs", "fuse.davfs2"};
  if (network.contains(fileSystemType)) return VolumeKind::Network;
  if (fileSystemType == "iso9660" || fileSystemType == "udf") return VolumeKind::Optical;
  if (removableDevice || IsMediaMount(root)) return VolumeKind::Removable;
  return VolumeKind::FixedDisk;
}

QIcon VolumeIcon(VolumeKind kind, const QStyle* style) {
  switch (kind) {
    case VolumeKind::Home:
      return QIcon::fromTheme(QStringLiteral("user-home"), style->standardIcon(QStyle::SP_DirHomeIcon));
    case VolumeKind::Removable:
      return QIcon::fromTheme(QStringLiteral("drive-removable-media"),
                              style->standardIcon(QStyle::SP_DriveFDIcon));
    case VolumeKind::Optical:
      return QIcon::fromTheme(QStringLiteral("drive-optical"), style->standardIcon(QStyle::SP_DriveCDIcon));
    case VolumeKind::Network:
      return QIcon::fromTheme(QStringLiteral("folder-remote"), style->standardIcon(QStyle::SP_DriveNetIcon));
    case VolumeKind::FixedDisk:
      break;
  }
  return QIcon::fromTheme(QStringLiteral("drive-harddisk"), style->standardIcon(QStyle::SP_DriveHDIcon));
}

QList<Volume> MountedVolumes() {
  QList<Volume> result;
  result.append({QStringLiteral("/"), Labelled(QStringLiteral("Корневая папка"), QStringLiteral("/")), false,
                 VolumeKind::FixedDisk});
  const QString home = QDir::homePath();
  if (home != QLatin1String("/"))
    result.append({home, Labelled(QStringLiteral("Домашняя папка"), home), false, VolumeKind::Home});

  QList<Volume> volumes;
  for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
    const QString root = storage.rootPath();
    if (!storage.isValid() || root == QLatin1String("/") || root == home || IsSystemMount(root)) continue;
    QString name = storage.name();
    if (name.isEmpty()) name = QDir(root).dirName();
    volumes.append({root, Labelled(name, root), true,
                    KindOfMount(root, storage.fileSystemType(), IsRemovableDevice(storage.device()))});
  }
  std::sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) { return a.path < b.path; });
  result.append(volumes);
  return result;
}

FolderTree::FolderTree(QWidget* parent, std::function<QList<Volume>()> source)
    : QTreeWidget(parent), source_(std::move(source)) {
  setColumnCount(1);
  setHeaderHidden(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  // The selection keeps its highlight when the tree loses the focus.
  QPalette keep = palette();
  keep.setColor(QPalette::Inactive, QPalette::Highlight, keep.color(QPalette::Active, QPalette::Highlight));
  keep.setColor(QPalette::Inactive, QPalette::HighlightedText,
                keep.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(keep);

  if (!source_) {
    source_ = MountedVolumes;
    // The kernel marks /proc/self/mounts as exceptional (POLLPRI) after every mount or unmount.
    mounts_ = std::make_unique<QFile>(QStringLiteral("/proc/self/mounts"));
    if (mounts_->open(QIODevice::ReadOnly)) {
      mountNotifier_ = new QSocketNotifier(mounts_->handle(), QSocketNotifier::Exception, this);
      connect(mountNotifier_, &QSocketNotifier::activated, this, [this] { RefreshVolumes(); });
    }
  }

  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) { ReadChildren(node); });
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (current) emit FolderChanged(CurrentFolder());
  });

  const QList<Volume> volumes = source_();
  for (int i = 0; i < volumes.size(); ++i) AddVolumeNode(volumes.at(i), i);
}

FolderTree::~FolderTree() {
  // The notifier goes before the file whose descriptor it watches.
  delete mountNotifier_;
  mountNotifier_ = nullptr;
}

QString FolderTree::NodePath(const QTreeWidgetItem* node) {
  return node ? node->data(0, kPathRole).toString() : QString();
}

QString FolderTree::CurrentFolder() const {
  const QString path = NodePath(currentItem());
  if (path.size() > 1 && path.endsWith(u'/')) return path.chopped(1);
  return path;
}

QTreeWidgetItem* FolderTree::AddVolumeNode(const Volume& volume, int index) {
  auto* node = new QTreeWidgetItem;
  node->setText(0, volume.label);
  node->setData(0, kPathRole, WithSlash(volume.path));
  node->setIcon(0, VolumeIcon(volume.kind, style()));
  node->setChildIndicatorPolicy(volume.removable || HasSubfolder(volume.path)
                                    ? QTreeWidgetItem::ShowIndicator
                                    : QTreeWidgetItem::DontShowIndicatorWhenChildless);
  insertTopLevelItem(index, node);
  return node;
}

void FolderTree::ReadChildren(QTreeWidgetItem* node) {
  if (node->data(0, kReadRole).toBool()) return;
  node->setData(0, kReadRole, true);
  const QString path = NodePath(node);
  // Names as the system has them, so that a folder whose name is not UTF-8 can be entered too.
  QStringList names = SubfolderNames(path);
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
    const int order = collator.compare(a, b);
    return order != 0 ? order < 0 : a < b;
  });
  const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
  for (const QString& name : names) {
    auto* child = new QTreeWidgetItem(node);
    const QString childPath = path + name + u'/';
    child->setText(0, DisplayName(name));
    child->setIcon(0, folderIcon);
    child->setData(0, kPathRole, childPath);
    child->setChildIndicatorPolicy(HasSubfolder(childPath) ? QTreeWidgetItem::ShowIndicator
                                                           : QTreeWidgetItem::DontShowIndicatorWhenChildless);
  }
  if (names.isEmpty()) node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

bool FolderTree::SelectFolder(const QString& path) {
  const QString wanted = WithSlash(QDir::cleanPath(path));
  // The top-level node holding the longest part of the path.
  QTreeWidgetItem* node = nullptr;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = topLevelItem(i);
    const QString topPath = NodePath(top);
    if (wanted.startsWith(topPath) && (!node || topPath.size() > NodePath(node).size())) node = top;
  }
  if (!node) return false;
  const QStringList parts = wanted.mid(NodePath(node).size()).split(u'/', Qt::SkipEmptyParts);
  for (const QString& part : parts) {
    ReadChildren(node);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < node->childCount() && !next; ++i)
      if (NodePath(node->child(i)) == NodePath(node) + part + u'/') next = node->child(i);
    if (!next) break;
    node->setExpanded(true);
    node = next;
  }
  setCurrentItem(node);
  scrollToItem(node);
  return true;
}

void FolderTree::SelectStartFolder() {
  const QStorageInfo storage(QDir::currentPath());
  const QString root = storage.isValid() ? storage.rootPath() : QStringLiteral("/");
  for (int i = 0; i < topLevelItemCount(); ++i) {
    if (NodePath(topLevelItem(i)) == WithSlash(root)) {
      setCurrentItem(topLevelItem(i));
      return;
    }
  }
  if (topLevelItemCount() > 0) setCurrentItem(topLevelItem(0));
}

void FolderTree::RefreshVolumes() {
  const QList<Volume> volumes = source_();
  QStringList paths;
  for (const Volume& volume : volumes) paths << WithSlash(volume.path);
  for (int i = topLevelItemCount() - 1; i >= 0; --i) {
    if (!paths.contains(NodePath(topLevelItem(i)))) delete takeTopLevelItem(i);
  }
  for (int i = 0; i < volumes.size(); ++i) {
    const bool present = i < topLevelItemCount() && NodePath(topLevelItem(i)) == paths.at(i);
    if (!present) AddVolumeNode(volumes.at(i), i);
  }
  if (!currentItem() && topLevelItemCount() > 0) setCurrentItem(topLevelItem(0));
}
