#pragma once

#include <QTreeView>

class QFileSystemModel;

// A folder tree whose path is the folder last opened (double-click or Enter),
// not the one merely highlighted.
class DirectoryBrowser : public QTreeView
{
    Q_OBJECT

public:
    explicit DirectoryBrowser(QWidget *parent = nullptr);

    [[nodiscard]] QString path() const { return m_path; }
    void openPath(const QString &path);

signals:
    void opened(const QString &path);

private:
    QFileSystemModel *m_model;
    QString m_path;
};
