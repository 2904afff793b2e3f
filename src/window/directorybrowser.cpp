#include "directorybrowser.h"

#include <QAbstractItemModel>
#include <QCollator>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHeaderView>
#include <QSet>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

namespace {

// The folders in `path` by their bytes on disk: hidden ones left out, links
// to folders counted.
QList<QByteArray> folderNames(const QByteArray &path)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        bool folder = entry->d_type == DT_DIR;
        // Only where the entry does not tell: a stat can hang on a mount
        // whose server is gone.
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            folder = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder)
            names << QByteArray(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// Whether Qt's file APIs, which take decoded text, reach this path.
bool decodesWhole(const QByteArray &path)
{
    return QFile::encodeName(QFile::decodeName(path)) == path;
}

} // namespace

// The folders below "/", each listed when first expanded and again when it
// changes or is opened.
class DirectoryModel final : public QAbstractItemModel
{
public:
    explicit DirectoryModel(QObject *parent);

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    [[nodiscard]] QByteArray path(const QModelIndex &index) const { return nodeOf(index)->path; }
    // The folder at an absolute path, each one on the way listed anew;
    // invalid when one of them is not there.
    [[nodiscard]] QModelIndex find(const QByteArray &path);
    void list(const QModelIndex &index) { list(nodeOf(index)); }

private:
    struct Node
    {
        QByteArray name; // as on disk
        QByteArray path;
        QString shown;
        Node *parent = nullptr;
        int row = 0;
        bool listed = false;
        std::vector<std::unique_ptr<Node>> children;
        mutable QIcon icon;
    };

    [[nodiscard]] Node *nodeOf(const QModelIndex &index) const;
    [[nodiscard]] QModelIndex indexOf(const Node *node) const;
    [[nodiscard]] static Node *childNamed(const Node *node, const QByteArray &name);
    // Lists the folder anew: folders made since come in, gone ones go, the
    // others stay as they are (expanded or not).
    void list(Node *node);
    void changed(const QString &path);

    Node m_root; // holds "/" alone, as QFileSystemModel does
    QFileSystemWatcher m_watcher;
    QCollator m_collator;
    QFileIconProvider m_icons;
};

DirectoryModel::DirectoryModel(QObject *parent)
    : QAbstractItemModel(parent)
{
    // QFileSystemModel's order: numbers by value, case ignored.
    m_collator.setNumericMode(true);
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    auto top = std::make_unique<Node>();
    top->name = top->path = "/";
    top->shown = QStringLiteral("/");
    top->parent = &m_root;
    m_root.children.push_back(std::move(top));
    m_root.listed = true;
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &DirectoryModel::changed);
}

DirectoryModel::Node *DirectoryModel::nodeOf(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<Node *>(index.internalPointer()) : const_cast<Node *>(&m_root);
}

QModelIndex DirectoryModel::indexOf(const Node *node) const
{
    return node == &m_root ? QModelIndex() : createIndex(node->row, 0, node);
}

DirectoryModel::Node *DirectoryModel::childNamed(const Node *node, const QByteArray &name)
{
    const auto found = std::find_if(node->children.begin(), node->children.end(),
                                    [&name](const std::unique_ptr<Node> &child) { return child->name == name; });
    return found == node->children.end() ? nullptr : found->get();
}

QModelIndex DirectoryModel::index(int row, int column, const QModelIndex &parent) const
{
    const Node *node = nodeOf(parent);
    if (column != 0 || row < 0 || std::size_t(row) >= node->children.size())
        return {};
    return createIndex(row, 0, node->children[std::size_t(row)].get());
}

QModelIndex DirectoryModel::parent(const QModelIndex &child) const
{
    return child.isValid() ? indexOf(nodeOf(child)->parent) : QModelIndex();
}

int DirectoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.column() > 0 ? 0 : int(nodeOf(parent)->children.size());
}

int DirectoryModel::columnCount(const QModelIndex &) const
{
    return 1;
}

// Like QFileSystemModel, every folder not yet listed offers to expand.
bool DirectoryModel::hasChildren(const QModelIndex &parent) const
{
    const Node *node = nodeOf(parent);
    return parent.column() <= 0 && (!node->listed || !node->children.empty());
}

bool DirectoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !nodeOf(parent)->listed;
}

void DirectoryModel::fetchMore(const QModelIndex &parent)
{
    list(nodeOf(parent));
}

QVariant DirectoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Node *node = nodeOf(index);
    if (role == Qt::DisplayRole)
        return node->shown;
    if (role != Qt::DecorationRole)
        return {};
    if (node->icon.isNull())
        node->icon = decodesWhole(node->path) ? m_icons.icon(QFileInfo(QFile::decodeName(node->path)))
                                              : m_icons.icon(QAbstractFileIconProvider::Folder);
    return node->icon;
}

QModelIndex DirectoryModel::find(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return {};
    Node *node = m_root.children.front().get();
    for (const QByteArray &name : path.split('/')) {
        if (name.isEmpty())
            continue;
        list(node);
        node = childNamed(node, name);
        if (!node)
            return {};
    }
    list(node);
    return indexOf(node);
}

void DirectoryModel::list(Node *node)
{
    struct Entry
    {
        QByteArray name;
        QString shown;
    };
    std::vector<Entry> entries;
    QSet<QByteArray> names;
    for (const QByteArray &name : folderNames(node->path)) {
        entries.push_back({name, QFile::decodeName(name)});
        names.insert(name);
    }
    // Names that look the same once decoded keep one order all the same.
    std::sort(entries.begin(), entries.end(), [this](const Entry &a, const Entry &b) {
        const int order = m_collator.compare(a.shown, b.shown);
        return order != 0 ? order < 0 : a.name < b.name;
    });

    auto &children = node->children;
    const auto renumber = [&children](std::size_t from) {
        for (std::size_t row = from; row < children.size(); ++row)
            children[row]->row = int(row);
    };
    const QModelIndex parent = indexOf(node);
    for (int last = int(children.size()) - 1; last >= 0; --last) {
        if (names.contains(children[std::size_t(last)]->name))
            continue;
        int first = last;
        while (first > 0 && !names.contains(children[std::size_t(first - 1)]->name))
            --first;
        beginRemoveRows(parent, first, last);
        children.erase(children.begin() + first, children.begin() + last + 1);
        renumber(std::size_t(first));
        endRemoveRows();
        last = first;
    }
    // What is left is in the entries' order: each run of new names goes in
    // before the next folder already there.
    for (std::size_t row = 0; row < entries.size();) {
        const auto listedAt = [&](std::size_t entry) {
            return row < children.size() && children[row]->name == entries[entry].name;
        };
        if (listedAt(row)) {
            ++row;
            continue;
        }
        std::size_t end = row + 1;
        while (end < entries.size() && !listedAt(end))
            ++end;
        std::vector<std::unique_ptr<Node>> added;
        for (std::size_t i = row; i < end; ++i) {
            auto child = std::make_unique<Node>();
            child->name = entries[i].name;
            child->path = node->path.endsWith('/') ? node->path + child->name : node->path + '/' + child->name;
            child->shown = entries[i].shown;
            child->parent = node;
            added.push_back(std::move(child));
        }
        beginInsertRows(parent, int(row), int(end - 1));
        children.insert(children.begin() + std::ptrdiff_t(row), std::make_move_iterator(added.begin()),
                        std::make_move_iterator(added.end()));
        renumber(row);
        endInsertRows();
        row = end;
    }
    if (!node->listed && decodesWhole(node->path))
        m_watcher.addPath(QFile::decodeName(node->path));
    const bool hadChildren = hasChildren(parent);
    node->listed = true;
    // The view learns only from this that an empty folder has nothing to expand.
    if (hadChildren != hasChildren(parent) && parent.isValid())
        emit dataChanged(parent, parent);
}

// Only a folder still shown is listed again; one gone or moved away is no
// longer watched.
void DirectoryModel::changed(const QString &path)
{
    Node *node = m_root.children.front().get();
    for (const QByteArray &name : QFile::encodeName(path).split('/')) {
        if (name.isEmpty())
            continue;
        node = childNamed(node, name);
        if (!node) {
            m_watcher.removePath(path);
            return;
        }
    }
    list(node);
}

DirectoryBrowser::DirectoryBrowser(QWidget *parent)
    : QTreeView(parent)
    , m_model(new DirectoryModel(this))
{
    setModel(m_model);
    header()->hide();
    connect(this, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { openPath(m_model->path(index)); });
    // A folder that cannot be watched (its name does not decode) is up to
    // date at least whenever it is expanded.
    connect(this, &QTreeView::expanded, m_model, [this](const QModelIndex &index) { m_model->list(index); });
}

void DirectoryBrowser::openPath(const QByteArray &path)
{
    const QModelIndex index = m_model->find(path);
    if (!index.isValid())
        return;
    m_path = m_model->path(index);
    setCurrentIndex(index);
    expand(index);
    scrollTo(index);
    emit opened(m_path);
}
