#include "directorybrowser.h"

#include <QFileSystemModel>
#include <QHeaderView>

DirectoryBrowser::DirectoryBrowser(QWidget *parent)
    : QTreeView(parent)
    , m_model(new QFileSystemModel(this))
{
    m_model->setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    m_model->setRootPath(QStringLiteral("/"));
    setModel(m_model);
    for (int column = 1; column < m_model->columnCount(); ++column)
        hideColumn(column);
    header()->hide();
    connect(this, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { openPath(m_model->filePath(index)); });
}

void DirectoryBrowser::openPath(const QString &path)
{
    const QModelIndex index = m_model->index(path);
    if (!index.isValid())
        return;
    m_path = m_model->filePath(index);
    setCurrentIndex(index);
    expand(index);
    scrollTo(index);
    emit opened(m_path);
}
