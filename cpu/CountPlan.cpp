#include "cpu/CountPlan.h"

#include <algorithm>
#include <limits>

#include "kde/KdeLogic.h"

namespace engine {

namespace {

// Costs are in point increments; a pass over a count grid counts as a
// quarter of its cells.
constexpr double kGridCost = static_cast<double>(kde::kCountCells) / 4;
constexpr double kNever = std::numeric_limits<double>::infinity();

bool selected(const GroupSet& groups, int g) { return groups.test(static_cast<std::size_t>(g)); }

double distance(std::size_t a, std::size_t b) { return static_cast<double>(a > b ? a - b : b - a); }

std::size_t checkpointCount(const CountInputs& in) { return (*in.checkIndex)[0].size() - 1; }

std::size_t cumulativeGrids(const CountInputs& in, int g) { return in.wholeDay[g] ? in.ownGrids[g] + 2 : 0; }

// The number of a group's points (the earliest ones) its cumulative grid j holds.
std::size_t cumulativeAt(const CountInputs& in, int g, std::size_t j) {
    if (j == 0) return 0;
    if (j == in.ownGrids[g] + 1) return in.points[g];
    return (*in.checkIndex)[g][j * in.ownStride];
}

// The fewest points between `position` and one of a group's cumulative grids.
double cumulativeDistance(const CountInputs& in, int g, std::size_t position) {
    const std::size_t grids = cumulativeGrids(in, g);
    if (grids == 0) return static_cast<double>(position);
    // The positions grow with j: the first at or after `position`, and the one before.
    std::size_t low = 0, high = grids - 1;
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (cumulativeAt(in, g, middle) < position)
            low = middle + 1;
        else
            high = middle;
    }
    double best = static_cast<double>(cumulativeAt(in, g, low) > position ? cumulativeAt(in, g, low) - position
                                                                          : position - cumulativeAt(in, g, low));
    if (low > 0) best = std::min(best, static_cast<double>(position - cumulativeAt(in, g, low - 1)));
    return best;
}

// A group's window is counted point by point, or as the difference of two
// of its cumulative grids corrected by the points between each grid and
// each end.
struct WindowCount {
    double cost = 0;
    bool direct = true;
    std::size_t lower = 0;  // cumulative grids, when not direct
    std::size_t upper = 0;
};

WindowCount windowCount(const CountInputs& in, int g, PointRange w) {
    WindowCount best;
    best.cost = static_cast<double>(w.second - w.first);
    const std::size_t grids = cumulativeGrids(in, g);
    if (grids < 2) return best;
    const auto nearest = [&](std::size_t end, std::size_t from) {
        std::size_t at = from;
        double cost = kNever;
        for (std::size_t j = from; j < grids; ++j) {
            const double c = distance(end, cumulativeAt(in, g, j)) + (j > 0 ? kGridCost : 0.0);
            if (c < cost) {
                cost = c;
                at = j;
            }
        }
        return std::pair{at, cost};
    };
    const auto [lower, lowerCost] = nearest(w.first, 0);
    const auto [upper, upperCost] = nearest(w.second, lower);
    if (lowerCost + upperCost < best.cost) best = WindowCount{lowerCost + upperCost, false, lower, upper};
    return best;
}

double addCost(const CountInputs& in, int g, PointRange w) { return windowCount(in, g, w).cost; }

// From the last counts: the points that entered or left.
double incrementalCost(const CountInputs& in) {
    if (!in.haveLast) return kNever;
    double cost = 0;
    for (int g = 0; g < kCountGroups; ++g) {
        const bool was = selected(in.lastGroups, g), is = selected(in.groups, g);
        if (was && is)
            cost += distance(in.now[g].first, in.last[g].first) + distance(in.now[g].second, in.last[g].second);
        else if (is)
            cost += addCost(in, g, in.now[g]);
        else if (was)
            cost += addCost(in, g, in.last[g]);
    }
    return cost;
}

// From nothing: each group's window.
double scratchCost(const CountInputs& in) {
    double cost = kGridCost;
    for (int g = 0; g < kCountGroups; ++g)
        if (selected(in.groups, g)) cost += addCost(in, g, in.now[g]);
    return cost;
}

// From the checkpoints nearest each end, holding the counts of the groups
// `held`: a group selected now but not held is added, one held but not
// selected now is taken away.
struct CheckPlan {
    GroupSet held;
    std::size_t start = 0;
    std::size_t end = 0;
    double cost = kNever;
};

PointRange heldRange(const CountInputs& in, const CheckPlan& plan, int g) {
    return {(*in.checkIndex)[g][plan.start], (*in.checkIndex)[g][plan.end]};
}

// The checkpoint from `from` on nearest the window's start or end, and what
// it costs: the points between it and that end of every held group that is
// selected, and for a held group to be taken away the points between it and
// the group's nearest cumulative grid.
std::pair<std::size_t, double> nearestCheckpoint(const CountInputs& in, const GroupSet& held, bool end, std::size_t from) {
    const std::size_t checkCount = checkpointCount(in);
    std::size_t best = from;
    double bestCost = kNever;
    for (std::size_t k = from; k <= checkCount; ++k) {
        double cost = 0;
        for (int g = 0; g < kCountGroups; ++g) {
            if (!selected(held, g)) continue;
            if (selected(in.groups, g))
                cost += distance(end ? in.now[g].second : in.now[g].first, (*in.checkIndex)[g][k]);
            else  // taken away through its own grids: best where they lie
                cost += cumulativeDistance(in, g, (*in.checkIndex)[g][k]);
        }
        if (cost < bestCost) {
            bestCost = cost;
            best = k;
        }
    }
    return {best, bestCost};
}

CheckPlan checkpointPlan(const CountInputs& in, const GroupSet& held) {
    CheckPlan plan;
    plan.held = held;
    // The end's checkpoint is searched from the start's on, so the two hold
    // each group's points between them.
    const auto [start, startCost] = nearestCheckpoint(in, held, false, 0);
    const auto [end, endCost] = nearestCheckpoint(in, held, true, start);
    plan.start = start;
    plan.end = end;
    plan.cost = startCost + endCost + kGridCost * (start > 0 ? 2 : 1);
    for (int g = 0; g < kCountGroups; ++g) {
        const bool isHeld = selected(held, g), is = selected(in.groups, g);
        if (is && !isHeld) plan.cost += addCost(in, g, in.now[g]);
        if (!is && isHeld) plan.cost += addCost(in, g, heldRange(in, plan, g));
    }
    return plan;
}

// Bringing the checkpoints to the new selection first: the groups that
// differ are counted once more, and every checkpoint is passed over.
double followCost(const CountInputs& in) {
    double cost = static_cast<double>(checkpointCount(in)) * kGridCost * (in.checkpointsBuilt ? 1 : 2);
    for (int g = 0; g < kCountGroups; ++g)
        if (!in.checkpointsBuilt ? selected(in.groups, g) : selected(in.groups ^ in.checkGroups, g))
            cost += static_cast<double>(in.points[g]);
    return cost;
}

// The way, whether the checkpoints follow the selection first, and the
// checkpoints the way starts from.
struct Choice {
    CountWay way;
    bool follow;
    CheckPlan checkpoints;
};

Choice choose(const CountInputs& in) {
    CountPath path = in.preferred;
    if (path == CountPath::incremental && !in.haveLast) path = CountPath::fromScratch;
    const CheckPlan asHeld = in.checkpointsBuilt ? checkpointPlan(in, in.checkGroups) : CheckPlan{};
    switch (path) {
        case CountPath::incremental: return {CountWay::incremental, false, asHeld};
        case CountPath::fromScratch: return {CountWay::fromScratch, false, asHeld};
        case CountPath::checkpoints: return {CountWay::checkpoints, false, asHeld};
        case CountPath::checkpointsFollowing: return {CountWay::checkpoints, true, checkpointPlan(in, in.groups)};
        case CountPath::cheapest: break;
    }
    const double incremental = incrementalCost(in);
    const double scratch = scratchCost(in);
    const double best = std::min({incremental, scratch, asHeld.cost});
    Choice choice{CountWay::checkpoints, false, asHeld};
    if (best == incremental)
        choice.way = CountWay::incremental;
    else if (best == scratch)
        choice.way = CountWay::fromScratch;
    // A jump of the window (the modes unchanged) that costs more than a
    // stretch between two checkpoints brings the checkpoints to this mode
    // selection when that is about as cheap: later jumps are then bounded by
    // that stretch.
    const double stretch = static_cast<double>(in.countedPoints) / static_cast<double>(checkpointCount(in));
    const bool sameModes = in.haveLast && in.groups == in.lastGroups;
    if (in.checkpointsBuilt && sameModes && in.timeFilter && best > stretch) {
        const CheckPlan followed = checkpointPlan(in, in.groups);
        if (followCost(in) + followed.cost < 1.5 * best) choice = Choice{CountWay::checkpoints, true, followed};
    }
    return choice;
}

// The grids and runs of a plan, as the way calls for them.
class Steps {
public:
    Steps(const CountInputs& in, CountPlan& plan) : in_(in), plan_(plan) {}

    // Moves a count from position `from` to `to` of a group: the points in
    // between enter (sign 1) or leave.
    void move(int g, std::size_t from, std::size_t to, std::int32_t sign) {
        if (to > from) plan_.runs.push_back(CountRun{g, from, to, sign});
        if (from > to) plan_.runs.push_back(CountRun{g, to, from, -sign});
    }

    // Adds (sign 1) or takes away (-1) a group's window.
    void addWindow(int g, PointRange w, std::int32_t sign) {
        const WindowCount count = windowCount(in_, g, w);
        if (count.direct) {
            if (w.second > w.first) plan_.runs.push_back(CountRun{g, w.first, w.second, sign});
            return;
        }
        if (count.upper > 0) plan_.grids.push_back(GridTerm{g, count.upper, sign});
        if (count.lower > 0) plan_.grids.push_back(GridTerm{g, count.lower, -sign});
        move(g, cumulativeAt(in_, g, count.upper), w.second, sign);
        move(g, cumulativeAt(in_, g, count.lower), w.first, -sign);
    }

private:
    const CountInputs& in_;
    CountPlan& plan_;
};

void incrementalSteps(const CountInputs& in, Steps& steps) {
    for (int g = 0; g < kCountGroups; ++g) {
        const bool was = selected(in.lastGroups, g), is = selected(in.groups, g);
        if (was && is) {
            steps.move(g, in.last[g].second, in.now[g].second, 1);
            steps.move(g, in.last[g].first, in.now[g].first, -1);
        } else if (is) {
            steps.addWindow(g, in.now[g], 1);
        } else if (was) {
            steps.addWindow(g, in.last[g], -1);
        }
    }
}

void scratchSteps(const CountInputs& in, Steps& steps) {
    for (int g = 0; g < kCountGroups; ++g)
        if (selected(in.groups, g)) steps.addWindow(g, in.now[g], 1);
}

void checkpointSteps(const CountInputs& in, const CheckPlan& plan, Steps& steps) {
    for (int g = 0; g < kCountGroups; ++g) {
        const bool held = selected(plan.held, g), is = selected(in.groups, g);
        if (is && held) {
            steps.move(g, (*in.checkIndex)[g][plan.end], in.now[g].second, 1);
            steps.move(g, (*in.checkIndex)[g][plan.start], in.now[g].first, -1);
        } else if (is) {
            steps.addWindow(g, in.now[g], 1);
        } else if (held) {
            steps.addWindow(g, heldRange(in, plan, g), -1);  // its points between the two checkpoints
        }
    }
}

}  // namespace

CountPlan planCounts(const CountInputs& in) {
    const Choice choice = choose(in);
    CountPlan plan;
    plan.way = choice.way;
    plan.followSelection = choice.follow;
    plan.start = choice.checkpoints.start;
    plan.end = choice.checkpoints.end;
    Steps steps(in, plan);
    switch (choice.way) {
        case CountWay::incremental: incrementalSteps(in, steps); break;
        case CountWay::fromScratch: scratchSteps(in, steps); break;
        case CountWay::checkpoints: checkpointSteps(in, choice.checkpoints, steps); break;
    }
    return plan;
}

}  // namespace engine
