#include "zellistmodel.h"

#include <QDebug>
#include <QSettings>

namespace {
const QString groupName = QStringLiteral("Params");
const QString arrayName = QStringLiteral("ZELEnvVar");
const QString nameKey = QStringLiteral("envvar");

// The session library reads the same store under these names, whatever the program calls itself.
QSettings *openStore()
{
    return new QSettings(QStringLiteral("Pelsor"), QStringLiteral("ZEL Client"));
}
}

ZELListModel::ZELListModel(QObject *parent)
    : ZELListModel(QStringList(), parent)
{
}

ZELListModel::ZELListModel(const QStringList &strings, QObject *parent)
    : QStringListModel(strings, parent)
{
    // Filling the list anew (setStringList) drops every tick with the old rows: take them
    // back from the store.
    connect(this, &QAbstractItemModel::modelReset, this, &ZELListModel::applyStoredNames);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &ZELListModel::pruneAndSave);
    applyStoredNames();
}

Qt::ItemFlags ZELListModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags result = QStringListModel::flags(index);
    if (index.isValid()) {
        // Names are chosen, not edited: an editor would only throw the change away.
        result &= ~Qt::ItemIsEditable;
        result |= Qt::ItemIsUserCheckable;
    }
    return result;
}

QVariant ZELListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (role == Qt::CheckStateRole)
        return m_checked.contains(QPersistentModelIndex(index)) ? Qt::Checked : Qt::Unchecked;
    return QStringListModel::data(index, role);
}

bool ZELListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.model() != this || role != Qt::CheckStateRole)
        return false;

    if (value.toInt() == Qt::Checked)
        m_checked.insert(QPersistentModelIndex(index));
    else
        m_checked.remove(QPersistentModelIndex(index));
    emit dataChanged(index, index, {Qt::CheckStateRole});
    saveNames();
    return true;
}

QStringList ZELListModel::checkedNames() const
{
    QStringList names;
    for (int row = 0; row < rowCount(); ++row) {
        const QModelIndex idx = index(row, 0);
        if (m_checked.contains(QPersistentModelIndex(idx)))
            names << idx.data(Qt::DisplayRole).toString();
    }
    return names;
}

QStringList ZELListModel::storedNames()
{
    QStringList names;
    QScopedPointer<QSettings> settings(openStore());
    settings->beginGroup(groupName);
    const int count = settings->beginReadArray(arrayName);
    for (int i = 0; i < count; ++i) {
        settings->setArrayIndex(i);
        const QString name = settings->value(nameKey).toString();
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    }
    settings->endArray();
    settings->endGroup();
    return names;
}

void ZELListModel::applyStoredNames()
{
    if (m_applying)
        return;
    m_applying = true;

    m_checked.clear();
    const QStringList stored = storedNames();
    QStringList rows = stringList();
    QStringList missing;
    for (const QString &name : stored) {
        if (!rows.contains(name))
            missing << name;
    }
    // A stored choice for a variable this process does not have stays visible, so that the
    // user sees what is sent and can untick it.
    if (!missing.isEmpty()) {
        const int first = rowCount();
        insertRows(first, missing.size());
        for (int i = 0; i < missing.size(); ++i)
            QStringListModel::setData(index(first + i, 0), missing.at(i), Qt::DisplayRole);
        rows = stringList();
    }

    for (int row = 0; row < rows.size(); ++row) {
        if (stored.contains(rows.at(row)))
            m_checked.insert(QPersistentModelIndex(index(row, 0)));
    }
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
    if (!stored.isEmpty())
        qDebug() << "Environment variables ticked from the settings:" << stored;

    m_applying = false;
}

void ZELListModel::pruneAndSave()
{
    for (auto it = m_checked.begin(); it != m_checked.end();) {
        if (it->isValid())
            ++it;
        else
            it = m_checked.erase(it);
    }
    if (!m_applying)
        saveNames();
}

void ZELListModel::saveNames()
{
    QStringList names;
    for (const QString &name : checkedNames()) {
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    }

    QScopedPointer<QSettings> settings(openStore());
    settings->beginGroup(groupName);
    settings->remove(arrayName);
    settings->beginWriteArray(arrayName, names.size());
    for (int i = 0; i < names.size(); ++i) {
        settings->setArrayIndex(i);
        settings->setValue(nameKey, names.at(i));
    }
    settings->endArray();
    settings->endGroup();
}
