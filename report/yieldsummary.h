#pragma once

#include "history/historystore.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Units, attempts and yields of a period, overall and per day, station,
// lane and image. A unit is HistoryRow::unit(): its serial, or for a unit
// without one the run its lane gave it. Its first attempt in the period
// decides its group in each, and its attempts count there with it, so that
// a group's attempts per unit are its own units' retries and every group's
// figures add up to the whole. The first-pass yield is the share of units
// whose first attempt in the period passed, the final yield the share whose
// last one did.
class YieldSummary
{
public:
    enum class Dimension { Day, Station, Lane, Image };
    static constexpr int kDimensions = 4;

    struct Figures
    {
        qint64 attempts = 0;
        qint64 units = 0;
        qint64 firstPass = 0; // units whose first attempt passed
        qint64 finalPass = 0; // units whose last attempt passed

        // 0 to 1; 0 for no units.
        double firstPassYield() const { return units ? double(firstPass) / double(units) : 0.0; }
        double finalYield() const { return units ? double(finalPass) / double(units) : 0.0; }
        bool operator==(const Figures &) const = default;
    };

    struct Group
    {
        // The local day; the station; the station and the lane ("-" for an
        // update given no lane), for every station may name its bays alike;
        // the image's file name and the start of its SHA-256, for the same
        // file may lie at many paths.
        QString label;
        Figures figures;
    };

    // Takes the attempts oldest first, as a source gives them.
    void add(const HistoryStore::AttemptView &attempt);

    Figures overall() const;
    // The groups of a dimension, days in order, the others by their label.
    QList<Group> groups(Dimension dimension) const;

private:
    struct Unit
    {
        std::array<int, kDimensions> group{};
        int attempts = 0;
        bool firstOk = false;
        bool lastOk = false;
        size_t hash = 0;
        size_t keyAt = 0; // its key in m_keys
        size_t keySize = 0;
    };
    // Keys as SQLite gives them, looked up without making a string of them.
    struct KeyHash
    {
        using is_transparent = void;
        size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    using Index = std::unordered_map<std::string, int, KeyHash, std::equal_to<>>;
    struct Groups
    {
        Index index; // key -> position in labels
        QStringList labels;
    };

    int groupOf(Dimension dimension, const HistoryStore::AttemptView &attempt);
    std::string_view dayOf(std::string_view finished);

    // Each unit once, in the order first seen, its key kept in m_keys. A
    // year's history has about a million units, each looked up once per
    // attempt: an open table of their positions costs one allocation in all
    // where a map of strings costs one per unit, in the making and again in
    // the freeing. A slot holds part of its unit's hash, so that a look-up
    // passing it need not read the unit.
    struct Slot
    {
        quint32 tag = 0;
        quint32 position = 0; // + 1; 0: free
    };
    Unit *findUnit(std::string_view key, size_t hash);
    void indexUnit(size_t position);
    std::vector<Unit> m_units;
    std::string m_keys;
    std::vector<Slot> m_slots;
    std::array<Groups, kDimensions> m_groups;
    // The local day of the last time looked up, and the UTC times it spans:
    // attempts come in order, so nearly every one falls in the day before it.
    std::string m_day;
    std::string m_dayFrom;
    std::string m_dayTo;
};
