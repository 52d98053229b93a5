#pragma once

#include <QPersistentModelIndex>
#include <QSet>
#include <QStringList>
#include <QStringListModel>

// Check-box list of environment variable names. The ticked names are the ones the session
// passes on to the broker; they live in the settings store (group "Params", array
// "ZELEnvVar", key "envvar"), and the list and the store always agree: the stored names are
// ticked whenever the list is filled (a stored name missing from the list is added to it,
// ticked), and every tick, untick or removed row rewrites the store at once.
class ZELListModel : public QStringListModel
{
    Q_OBJECT

public:
    explicit ZELListModel(QObject *parent = nullptr);
    explicit ZELListModel(const QStringList &strings, QObject *parent = nullptr);

    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    // The ticked names, in row order.
    QStringList checkedNames() const;

    // The names in the settings store, in stored order.
    static QStringList storedNames();

private:
    void applyStoredNames();
    void pruneAndSave();
    void saveNames();

    QSet<QPersistentModelIndex> m_checked;
    bool m_applying = false;
};
