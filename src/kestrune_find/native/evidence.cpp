#include "evidence.hpp"

#include "kestrune/platform.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

namespace kestrune::find {

namespace {

// An edge in the frame steps across the rim: from just inside to just outside
// the colour changes by at least this share of the change from the shape's
// middle to just outside. A glow fades by about a third there; a ball blurred
// by the camera steps by more, once its rim (0.15 of its size: a disc's
// radius, an ellipse's shorter semi-axis) is wider than the blur, which holds
// from a size of about kMinStepSize pixels on. Smaller shapes are read
// kSmallReach pixels each side of the outline instead: wider than a camera's
// blur, and still within a small glow's fading edge.
constexpr double kMinStep = 0.45;
constexpr double kMinStepSize = 24.0;
constexpr double kSmallReach = 5.0;
constexpr double kMostFaded = 0.6;  // more than this share faded: no outline
// Nor when the steps average less than this: a glow over a busy background
// steps where the background changes, and fades everywhere else.
constexpr double kMinMeanStep = 0.5;
constexpr double kMinCompared = 8;

// A crossing unset on both sides of the outline is hidden, not missing, when
// the frame just inside is unlike the background: further than this (RGB
// distance) from all but a few (kNearBackground) of the colours seen just
// outside the crossings that show the outline. Something of another colour
// then stands in front; where the background itself shows, the shape is not
// there. (A few: where the outline meets the thing in front, that thing is
// outside it too.)
constexpr double kHiddenDistance2 = 40.0 * 40.0;
constexpr double kNearBackground = 0.15;
// A shape's core may be hidden in part by something kHiddenDarker or more
// below the colour's typical brightness there, or by anything between its
// runs on a line (see kMostGapsInFront), as long as kMinShown of the
// core shows and the outline where it shows is clear (kMinOutlineShown, or
// kMinOutlineClearRim where kClearRim of the outer rim stands clear, or
// kMinOutlineClearerRim where kClearerRim does: a bar or
// a hand across a ball hides some of its crossings' change as well, but
// leaves the rim around it clear, where a disc drawn over clutter of the
// colour finds the colour beyond it). A
// ball held by a robot's gripper shows a crescent; its fill in the mask alone
// would be a half. What lies beside a half disc of the colour, a wedge of a
// colour wheel or an egg of it is seldom that much darker, and a circle drawn
// past such a shape crosses its outline where the shape is not. Behind a
// black thing (at most kDarkShare of the colour's brightness: a robot's
// post, not a shadow or a darker background) as little as kMinShownDark may
// show. Shapes smaller than kMinHidingSize are weighed on what the mask
// shows: their gaps are a pixel or two, their colour the blur's mix.
constexpr double kMinShown = 0.5;
constexpr double kHiddenDarker = 60.0;
constexpr double kMinOutlineShown = 0.8;
constexpr double kMinOutlineClearRim = 0.7;
constexpr double kClearRim = 0.85;
constexpr double kMinOutlineClearerRim = 0.6;
constexpr double kClearerRim = 0.9;
constexpr double kDarkShare = 0.3;
constexpr double kMinShownDark = 0.3;
constexpr double kMinHidingSize = 15.0;
// What lies between runs of the colour on a line of the core stands in front
// of the shape whatever its brightness, when the line is cut at most this
// often; at the core's ends only what is darker can hide it (else a disc drawn
// around an ellipse would call the background beside it hidden), unless the
// outline shows all round where nothing hides it (kOutlineAllRound) and the
// rim around stands clear (kClearAllRound), and half the core still shows
// with those ends hidden: a light bar or a hand over a ball's side.
constexpr std::size_t kMostGapsInFront = 2;
constexpr double kOutlineAllRound = 0.95;
constexpr double kClearAllRound = 0.97;
// On a disc such a gap, with the colour on both sides as a bar across a
// ball leaves it, need only be further than kHiddenDistance2 from all but
// this share of the background's colours: a bar of grey or brown in front of
// a busy photograph matches some of it, while a coil's gaps show the
// background itself. (An ellipse, weighed as a stretched ball, bends round
// its blob more freely: an ellipse of the colour near the frame's edge whose
// sheen cut its runs was taken for a squeezed ball that way.)
constexpr double kNearBackgroundBetween = 0.3;

// Inside a shape the frame's brightness (the largest channel, which carries
// it for every hue) turns when it rises or falls back by more than
// kTurnShare of its typical value there, and at least kMinTurn: steps
// smaller than that are noise, shading and JPEG. kStripedTurns turns or more
// per line read, on at least kMinLinesRead lines, is a striped inside.
constexpr double kTurnShare = 0.25;
constexpr double kMinTurn = 24.0;
constexpr double kStripedTurns = 2.0;
constexpr double kMinLinesRead = 4;
constexpr std::ptrdiff_t kTurnLines = 24;

// An enclosed hole inside the core counts when it covers at least
// kMinHoleShare of the shape's area and its mean brightness lies kHoleDarker
// or more below the median of the set pixels around it (a letter's hole
// showing a darker background; a highlight is lighter).
constexpr double kMinHoleShare = 0.008;
constexpr double kHoleDarker = 30.0;
constexpr double kHoleCells = 48;  // grid cells across the core, at least (every pixel below 96)
// A hole of kMinLightHole of the area or more counts whatever its
// brightness: a ring's hole may show a lighter background, but a ball's
// highlight covers less (0.043 at most, on balls lit hard from above).
constexpr double kMinLightHole = 0.1;
// Of the square on its longest side, the share a hole covers at least: a
// round hole 0.79, a letter's 0.4-0.8, a diagonal sliver of a cable 0.2.
constexpr double kMinHoleFill = 0.3;

}  // namespace

bool Evidence::striped() const { return lines_read >= kMinLinesRead && turns >= kStripedTurns * lines_read; }

bool Evidence::holed() const { return hole >= (hole_dark ? kMinHoleShare : kMinLightHole); }

double Evidence::fill() const {
    if (striped() || holed()) return 0.0;
    const double length = core + inner_rim;
    const double all = length > 0 ? (core_set + inner_rim_set) / length : 0.0;
    const double filled = middle > 0 ? std::min(all, middle_set / middle) : all;
    // Where less than half shows, only what is black counts as hidden.
    const double shown = core - core_hidden >= kMinShown * core ? core - core_hidden : core - core_hidden_dark;
    if (shown >= core || shown < kMinShownDark * core) return filled;
    return std::max(filled, std::min(1.0, core_set / shown));
}

double Evidence::clear() const { return outer_rim > 0 ? outer_rim_clear / outer_rim : 1.0; }

double Evidence::outline() const {
    if (crossings_compared >= kMinCompared &&
        (crossings_faded > kMostFaded * crossings_compared || steps < kMinMeanStep * crossings_compared))
        return 0.0;
    const double shown = crossings - crossings_hidden;
    return shown > 0 ? crossings_sharp / shown : 0.0;
}

double Evidence::seen() const { return unclipped > 0 ? (core + inner_rim + outer_rim) / unclipped : 0.0; }

namespace {

using Colour = std::array<double, 3>;

// The frame's colour at the pixel nearest to `u` along a scanned line.
KESTRUNE_ALWAYS_INLINE Colour colour_at(const ScanTable& table, bool rows, std::int32_t line, double u, std::int32_t extent) {
    // Clamped first, the value is not negative: truncating it is its floor.
    const auto k = static_cast<std::int32_t>(std::clamp(u + 0.5, 0.0, extent - 1.0));
    const std::uint8_t* p = table.line_pixel(rows, line, k);
    return {static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2])};
}

double brightness(const std::uint8_t* p) { return static_cast<double>(std::max({p[0], p[1], p[2]})); }
double brightness(const Colour& c) { return std::max({c[0], c[1], c[2]}); }

// How often the brightness along pixels [first, last] of a scanned line turns
// from rising to falling or back by more than `step`.
double count_turns(const ScanTable& table, bool rows, std::int32_t line, std::int32_t first, std::int32_t last,
                   double step) {
    double lo = brightness(table.line_pixel(rows, line, first)), hi = lo, extreme = lo;
    int direction = 0;  // +1 rising, -1 falling, 0 not yet clear
    double turns = 0;
    for (std::int32_t j = first + 1; j <= last; ++j) {
        const double v = brightness(table.line_pixel(rows, line, j));
        if (direction == 0) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            if (hi - lo > step) {
                direction = v == hi ? 1 : -1;
                extreme = v;
            }
        } else if (direction * (v - extreme) > 0) {
            extreme = v;
        } else if (direction * (extreme - v) > step) {
            turns += 1;
            direction = -direction;
            extreme = v;
        }
    }
    return turns;
}

double distance2(const Colour& a, const Colour& b) {
    const double d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return d0 * d0 + d1 * d1 + d2 * d2;
}

// The colours just outside the crossings that show the outline, a list per
// channel. The channels are bytes: every squared distance between two such
// colours is an integer below 2^24, as exact in float as in double, so the
// comparisons are those of the colours' doubles, several at a time.
struct Background {
    std::array<std::vector<float>, 3> channels;

    std::size_t size() const { return channels[0].size(); }
    void clear() {
        for (auto& channel : channels) channel.clear();
    }
    void push_back(const Colour& c) {
        for (int q = 0; q < 3; ++q) channels[q].push_back(static_cast<float>(c[q]));
    }
};

// Whether `c` is unlike the colours of `background` (see above): whether
// fewer than `share` of them lie near it, counted a block at a time.
bool unlike_background(const Colour& c, const Background& background, double share) {
    const std::size_t n = background.size();
    if (n < 4) return false;  // too little outline to tell the background by
    const double allowed = share * static_cast<double>(n);
    const float* r = background.channels[0].data();
    const float* g = background.channels[1].data();
    const float* b = background.channels[2].data();
    const auto c0 = static_cast<float>(c[0]), c1 = static_cast<float>(c[1]), c2 = static_cast<float>(c[2]);
    constexpr auto limit = static_cast<float>(kHiddenDistance2);
    constexpr std::size_t kBlock = 32;
    double near = 0;
    for (std::size_t first = 0; first < n && near < allowed; first += kBlock) {
        const std::size_t end = std::min(n, first + kBlock);
        std::int32_t count = 0;
        for (std::size_t k = first; k < end; ++k) {
            const float d0 = c0 - r[k], d1 = c1 - g[k], d2 = c2 - b[k];
            count += d0 * d0 + d1 * d1 + d2 * d2 <= limit;
        }
        near += count;
    }
    return near < allowed;
}

// Length of [lo, hi] covered by set pixels of the runs [begin, end) of one line.
KESTRUNE_ALWAYS_INLINE double covered(const Run* begin, const Run* end, double lo, double hi) {
    if (hi <= lo || begin == end) return 0.0;
    // The first run that ends after lo.
    const Run* run = std::upper_bound(begin, end, lo, [](double v, const Run& q) { return v < q.end2 * 0.5; });
    double total = 0.0;
    for (; run != end && run->start2 * 0.5 < hi; ++run) total += std::min(hi, run->end2 * 0.5) - std::max(lo, run->start2 * 0.5);
    return total;
}

// The box of scanned lines that can cross the shape grown by the rim.
struct Box {
    double x_lo, x_hi, y_lo, y_hi;
};

// How a shape's evidence is read.
struct Weighing {
    double rim;            // width of the rims each side of the outline
    double middle_shrink;  // how far the middle lies inside the outline
    bool closed;           // a disc or an ellipse: the frame is read where lines cross the outline
    bool hiding;           // weigh what hides the core (see ellipse_evidence)
    // Discs touching the shape (balls beside it in a pile): its outer rim
    // there is theirs, neither clear nor not.
    const std::vector<DiscShape>* touching = nullptr;
    // How much of the background a gap between the colour's runs may match
    // and still hide the core (kNearBackgroundBetween on a disc).
    double between_share = kNearBackground;
    const HalfPlane* visible = nullptr;  // the side read, where given
};

// [lo, hi] of a line (a row at `position` when `rows`, else a column) cut
// down to the side `visible` says, where given.
void visible_part(const HalfPlane* visible, bool rows, double position, double& lo, double& hi) {
    if (visible == nullptr) return;
    // Along the line, along * u + across * position >= c.
    const double along = rows ? visible->nx : visible->ny, across = rows ? visible->ny : visible->nx;
    const double rest = visible->c - across * position;
    if (std::fabs(along) < 1e-12) {
        if (rest > 0) hi = lo;  // the whole line lies on the other side
        return;
    }
    if (along > 0) lo = std::max(lo, rest / along);
    else hi = std::min(hi, rest / along);
}

// Where one scanned line crosses the shape grown by the rim (outer), the
// outline itself, the core (shrunk by the rim) and the middle; each [lo, hi].
struct Chords {
    double outer_lo, outer_hi, outline_lo, outline_hi, core_lo, core_hi, middle_lo = 0, middle_hi = 0;
    bool has_middle = false;
};

// The middle of a gap (unset between runs) in the core, or of a line's
// longest run there, with its length; their colours are read only for a
// shape whose outline would let it be hidden.
struct Spot {
    bool rows;
    std::int32_t line;
    double u, length;
    bool between = false;  // a gap with the colour on both sides, on a line of few such gaps
    bool framed = false;   // and those sides runs of the rim's width or more, not specks
};

// Each core line's runs and gaps in order: a gap's index in the gaps, -1 for
// a run, kSliver for a gap too narrow to read.
struct Piece {
    double length;
    std::int32_t gap;
};
constexpr std::int32_t kSliver = std::numeric_limits<std::int32_t>::max();
struct CoreLine {
    std::size_t first, count;
    double longest;  // the longest run, counted as set
};

// The lists one integration fills, a thread's, emptied (not freed) for the
// next: a find weighs hundreds of shapes.
struct IntegrationLists {
    // The colours just outside the crossings that show the outline, and just
    // inside those unset there.
    Background background;
    std::vector<Colour> unset_inside;
    std::vector<Spot> gaps, set_middles;
    std::vector<Piece> pieces;
    std::vector<CoreLine> core_lines;
    std::vector<double> levels;
    std::vector<std::uint8_t> hidden;
    std::vector<std::uint32_t> framed;  // hidden gaps between runs of the rim's width or more

    static IntegrationLists& emptied() {
        thread_local IntegrationLists lists;
        lists.background.clear();
        lists.unset_inside.clear();
        lists.gaps.clear();
        lists.set_middles.clear();
        lists.pieces.clear();
        lists.core_lines.clear();
        return lists;
    }
};

// Reads the evidence of one shape along the scanned lines. `Chord(rows,
// line, grow, lo, hi)`: the part of a scanned line inside the shape grown by
// `grow`, as an interval [lo, hi] of the coordinate along the line; false
// when it misses.
template <class Chord>
class Integration {
public:
    Integration(const ScanTable& table, const Weighing& how, Chord chord, Evidence& ev)
        : table_(table), how_(how), chord_(chord), ev_(ev),
          read_colours_(how.closed && table.frame != nullptr),
          large_(2.0 * how.middle_shrink >= kMinStepSize),
          compare_step_(read_colours_ && 2.0 * how.middle_shrink > kSmallReach),  // the window fits inside
          weigh_hiding_(how.hiding && read_colours_ && 2.0 * how.middle_shrink >= kMinHidingSize),
          lists_(IntegrationLists::emptied()) {}

    // The scanned lines of `axis` from position `first` to `last`.
    void read_axis(const Axis& axis, bool rows, double first, double last) {
        auto k = std::lower_bound(axis.lines.begin(), axis.lines.end(), static_cast<std::int32_t>(std::ceil(first)));
        for (; k != axis.lines.end() && *k <= last; ++k) {
            const auto idx = static_cast<std::size_t>(k - axis.lines.begin());
            read_line(axis, rows, *k, axis.runs.data() + axis.first[idx], axis.runs.data() + axis.first[idx + 1]);
        }
    }

    // After every line: which crossings hide the outline, and how much of
    // the core is hidden.
    void weigh_hidden() {
        for (const Colour& c : unset_inside_) ev_.crossings_hidden += unlike_background(c, background_, kNearBackground);
        if (!weigh_hiding_ || gaps_.empty() || set_middles_.empty() || !outline_shown()) return;
        auto colour = [&](const Spot& spot) {
            return colour_at(table_, spot.rows, spot.line, spot.u, (spot.rows ? table_.rows : table_.columns).extent);
        };
        std::vector<double>& levels = lists_.levels;  // brightness of the colour along the core
        levels.clear();
        for (const Spot& spot : set_middles_) levels.push_back(brightness(colour(spot)));
        const auto mid = levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2);
        std::nth_element(levels.begin(), mid, levels.end());
        const double typical = *mid, darkest = typical - kHiddenDarker, black = kDarkShare * typical;
        const bool all_round = ev_.outline() >= kOutlineAllRound && ev_.clear() >= kClearAllRound;
        std::vector<std::uint8_t>& hidden = lists_.hidden;
        hidden.assign(gaps_.size(), 0);
        double at_ends = 0;  // what only all_round lets hide
        for (std::size_t k = 0; k < gaps_.size(); ++k) {
            const Colour c = colour(gaps_[k]);
            const double level = brightness(c);
            const bool between = gaps_[k].between, at_end = level > darkest && !between;
            if ((at_end && !all_round) ||
                !unlike_background(c, background_, between ? how_.between_share : kNearBackground))
                continue;
            if (at_end) {
                hidden[k] = 2;
                at_ends += gaps_[k].length;
                continue;
            }
            hidden[k] = 1;
            ev_.core_hidden += gaps_[k].length;
            if (level <= black) ev_.core_hidden_dark += gaps_[k].length;
        }
        if (at_ends > 0) {
            const bool keep = ev_.core - ev_.core_hidden - at_ends >= kMinShown * ev_.core;
            if (keep) ev_.core_hidden += at_ends;
            for (std::uint8_t& h : hidden)
                if (h == 2) h = keep ? 1 : 0;
        }
        hidden_across(hidden);
        join_across_hidden(hidden);
    }

    // A bar across a ball cuts the lines across it into runs with the bar
    // between them; the lines along the bar see only the bar. What of such a
    // line's gap the lines across call hidden, between runs of the ball on
    // both sides (not specks, nor a dark patch at the core's end: the text
    // on a page beside a half disc), is hidden too.
    void hidden_across(const std::vector<std::uint8_t>& hidden) {
        std::vector<std::uint32_t>& framed = lists_.framed;
        framed.clear();
        for (std::size_t k = 0; k < gaps_.size(); ++k)
            if (hidden[k] && gaps_[k].framed) framed.push_back(static_cast<std::uint32_t>(k));
        if (framed.empty()) return;
        for (std::size_t k = 0; k < gaps_.size(); ++k) {
            if (hidden[k]) continue;
            const Spot& gap = gaps_[k];
            const double lo = gap.u - gap.length / 2, hi = gap.u + gap.length / 2;
            const Axis& across = gap.rows ? table_.columns : table_.rows;
            const auto lines = std::upper_bound(across.lines.begin(), across.lines.end(), hi) -
                               std::lower_bound(across.lines.begin(), across.lines.end(), lo);
            if (lines <= 0) continue;
            std::ptrdiff_t covered_by = 0;
            for (const std::uint32_t j : framed) {
                const Spot& other = gaps_[j];
                covered_by += other.rows != gap.rows && other.line >= lo && other.line <= hi &&
                              std::fabs(other.u - gap.line) <= other.length / 2;
            }
            ev_.core_hidden += gap.length * static_cast<double>(covered_by) / static_cast<double>(lines);
        }
    }

    // Whether the outline shows clearly enough where it shows for what
    // hides the core to be weighed.
    bool outline_shown() const {
        const double outline = ev_.outline();
        const double clear = ev_.clear();
        return outline >= kMinOutlineShown || (outline >= kMinOutlineClearRim && clear >= kClearRim) ||
               (outline >= kMinOutlineClearerRim && clear >= kClearerRim);
    }

    // A line's runs on both sides of something in front are one surface: the
    // core's set length on that line is its longest chain of runs joined
    // across hidden gaps (a bar or a cable across a ball cuts its runs, a
    // coil's gaps show the background and keep them apart).
    void join_across_hidden(const std::vector<std::uint8_t>& hidden) {
        for (const CoreLine& line : core_lines_) {
            double chain = 0, best = 0;
            for (std::size_t k = line.first; k < line.first + line.count; ++k) {
                const Piece& piece = pieces_[k];
                if (piece.gap < 0) {
                    chain += piece.length;
                } else if (piece.gap == kSliver || !hidden[static_cast<std::size_t>(piece.gap)]) {
                    chain = 0;
                }
                best = std::max(best, chain);
            }
            ev_.core_set += best - line.longest;
        }
    }

private:
    // Runs [begin, end) of one scanned line, and the line's extent.
    struct Line {
        bool rows;
        std::int32_t position, extent;
        const Run *begin, *end;
        double lo, hi;  // what of the line is read: the frame's part, or less

        bool clip(double& a, double& b) const {
            a = std::max(a, lo);
            b = std::min(b, hi);
            return b > a;
        }
    };

    // Each adds a piece of the line and gives the share of it that agrees,
    // or -1 when the piece lies outside the frame.
    double add_clear(const Line& line, double a, double b) {
        if (!line.clip(a, b)) return -1.0;
        if (how_.touching != nullptr && !how_.touching->empty()) return add_clear_beside(line, a, b);
        const double clear = (b - a) - covered(line.begin, line.end, a, b);
        ev_.outer_rim += b - a;
        ev_.outer_rim_clear += clear;
        return clear / (b - a);
    }

    // add_clear on what of [a, b] no touching disc covers; -1 when they cover all of it.
    double add_clear_beside(const Line& line, double a, double b) {
        std::array<std::pair<double, double>, 8> theirs;
        std::size_t count = 0;
        for (const DiscShape& d : *how_.touching) {
            // Grown by half the rim: a neighbour placed by the blob's peaks
            // lies a little inside its outline, and the blob fills the neck
            // between two balls beyond both. (By the whole rim, a patch of the
            // colour beside a peak scores as a ball on real frames.)
            const double r = d.r + how_.rim / 2;
            const double across = line.position - (line.rows ? d.y : d.x), h2 = r * r - across * across;
            if (h2 <= 0 || count == theirs.size()) continue;
            const double c = line.rows ? d.x : d.y, h = std::sqrt(h2);
            if (c + h > a && c - h < b) theirs[count++] = {std::max(a, c - h), std::min(b, c + h)};
        }
        for (std::size_t k = 1; k < count; ++k)  // a few: insertion
            for (std::size_t j = k; j > 0 && theirs[j] < theirs[j - 1]; --j) std::swap(theirs[j], theirs[j - 1]);
        double length = 0, clear = 0, from = a;
        auto free_piece = [&](double lo, double hi) {
            if (hi <= lo) return;
            length += hi - lo;
            clear += (hi - lo) - covered(line.begin, line.end, lo, hi);
        };
        for (std::size_t k = 0; k < count; ++k) {
            free_piece(from, theirs[k].first);
            from = std::max(from, theirs[k].second);
        }
        free_piece(from, b);
        if (length <= 0) return -1.0;
        ev_.outer_rim += length;
        ev_.outer_rim_clear += clear;
        return clear / length;
    }
    double add_set(const Line& line, double a, double b, double& length, double& set) {
        if (!line.clip(a, b)) return -1.0;
        const double s = covered(line.begin, line.end, a, b);
        length += b - a;
        set += s;
        return s / (b - a);
    }

    // Along one scanned line, nested chords of the shape grown by the rim
    // (the outer rim's end), as it is (the outline), shrunk by the rim (the
    // core) and shrunk by half its size (the middle).
    void read_line(const Axis& axis, bool rows, std::int32_t position, const Run* begin, const Run* end) {
        double lo = -0.5, hi = axis.extent - 0.5;
        visible_part(how_.visible, rows, position, lo, hi);
        const Line line{rows, position, axis.extent, begin, end, lo, hi};
        Chords c{};
        if (!chord_(rows, position, how_.rim, c.outer_lo, c.outer_hi)) return;
        if (!chord_(rows, position, 0.0, c.outline_lo, c.outline_hi)) {
            add_clear(line, c.outer_lo, c.outer_hi);
            return;
        }
        const double clear_lo = add_clear(line, c.outer_lo, c.outline_lo);
        const double clear_hi = add_clear(line, c.outline_hi, c.outer_hi);
        if (!chord_(rows, position, -how_.rim, c.core_lo, c.core_hi)) {
            add_set(line, c.outline_lo, c.outline_hi, ev_.inner_rim, ev_.inner_rim_set);
            return;
        }
        const double set_lo = add_set(line, c.outline_lo, c.core_lo, ev_.inner_rim, ev_.inner_rim_set);
        const double set_hi = add_set(line, c.core_hi, c.outline_hi, ev_.inner_rim, ev_.inner_rim_set);
        c.has_middle = chord_(rows, position, -how_.middle_shrink, c.middle_lo, c.middle_hi);
        const double shares[2][2] = {{set_lo, clear_lo}, {set_hi, clear_hi}};
        read_crossings(line, c, shares);
        read_core(line, c.core_lo, c.core_hi);
        if (c.has_middle) add_set(line, c.middle_lo, c.middle_hi, ev_.middle, ev_.middle_set);
    }

    // Each crossing of the outline inside the frame: mostly set just inside,
    // and at least half unset just outside (a blurred edge spills some colour
    // outward). shares[side]: set share of the inner rim, clear share of the
    // outer rim, on the low (0) and high (1) side.
    void read_crossings(const Line& line, const Chords& c, const double (&shares)[2][2]) {
        const double rim_in[2] = {(c.outline_lo + c.core_lo) / 2, (c.core_hi + c.outline_hi) / 2};
        const double rim_out[2] = {(c.outer_lo + c.outline_lo) / 2, (c.outline_hi + c.outer_hi) / 2};
        auto colour = [&](double u) { return colour_at(table_, line.rows, line.position, u, line.extent); };
        Colour middle{};
        bool middle_read = false;
        for (int side = 0; side < 2; ++side) {
            const double inside = shares[side][0], outside = shares[side][1];
            if (inside < 0 || outside < 0) continue;
            ev_.crossings += 1;
            const bool sharp = inside >= 0.7 && outside >= 0.5;
            ev_.crossings_sharp += sharp;
            if (!read_colours_) continue;
            if (sharp && compare_step_ && c.has_middle) {
                if (!middle_read) middle = colour((c.middle_lo + c.middle_hi) / 2);
                middle_read = true;
                const double in_at = large_ ? (side == 0 ? c.core_lo : c.core_hi)
                                            : (side == 0 ? c.outline_lo + kSmallReach : c.outline_hi - kSmallReach);
                const double out_at = large_ ? (side == 0 ? c.outer_lo : c.outer_hi)
                                             : (side == 0 ? c.outline_lo - kSmallReach : c.outline_hi + kSmallReach);
                const Colour in = colour(in_at);
                const Colour out = colour(out_at);
                const double step2 = distance2(in, out), change2 = distance2(middle, out);
                ev_.crossings_compared += 1;
                ev_.crossings_faded += step2 < kMinStep * kMinStep * change2;
                ev_.steps += std::sqrt(step2 / std::max(1.0, change2));
            }
            if (sharp) background_.push_back(colour(rim_out[side]));
            else if (inside < 0.7 && outside >= 0.5)  // set outside: the colour goes on, nothing hidden
                unset_inside_.push_back(colour(rim_in[side]));
        }
    }

    // The core counts as filled where one run covers it: a coil or a
    // textured patch is many runs with gaps between.
    void read_core(const Line& line, double a, double b) {
        if (!line.clip(a, b)) return;
        const Run* run =
            std::upper_bound(line.begin, line.end, a, [](double v, const Run& q) { return v < q.end2 * 0.5; });
        // And the gaps between the runs, where the core may be hidden.
        const std::size_t first_piece = pieces_.size();
        auto gap = [&](double g0, double g1) {
            if (!weigh_hiding_ || g1 <= g0) return;
            // A sliver under a pixel is not read: it keeps the runs apart.
            const bool read = g1 - g0 >= 1.0;
            pieces_.push_back({g1 - g0, read ? static_cast<std::int32_t>(gaps_.size()) : kSliver});
            if (read) gaps_.push_back({line.rows, line.position, (g0 + g1) / 2, g1 - g0});
        };
        double longest = 0, longest_middle = 0, from = a;
        for (; run != line.end && run->start2 * 0.5 < b; ++run) {
            const double lo = std::max(a, run->start2 * 0.5), hi = std::min(b, run->end2 * 0.5);
            if (hi - lo > longest) {
                longest = hi - lo;
                longest_middle = (lo + hi) / 2;
            }
            gap(from, lo);
            if (weigh_hiding_) pieces_.push_back({hi - lo, -1});
            from = hi;
        }
        gap(from, b);
        ev_.core += b - a;
        ev_.core_set += longest;
        if (weigh_hiding_) {
            core_lines_.push_back({first_piece, pieces_.size() - first_piece, longest});
            mark_between(core_lines_.back());
        }
        if (weigh_hiding_ && longest > 0) set_middles_.push_back({line.rows, line.position, longest_middle, longest});
    }

    const ScanTable& table_;
    const Weighing how_;
    Chord chord_;
    Evidence& ev_;
    const bool read_colours_, large_, compare_step_, weigh_hiding_;
    IntegrationLists& lists_;
    Background& background_ = lists_.background;
    std::vector<Colour>& unset_inside_ = lists_.unset_inside;
    std::vector<Spot>& gaps_ = lists_.gaps;
    std::vector<Spot>& set_middles_ = lists_.set_middles;
    std::vector<Piece>& pieces_ = lists_.pieces;
    std::vector<CoreLine>& core_lines_ = lists_.core_lines;

    // The gaps of a core line that the colour's runs enclose: a bar or a
    // cable in front cuts a ball's line once or twice; a coil's or a weave's
    // line, many times.
    void mark_between(const CoreLine& line) {
        std::size_t first_run = line.first + line.count, last_run = line.first, count = 0;
        for (std::size_t k = line.first; k < line.first + line.count; ++k) {
            if (pieces_[k].gap >= 0) continue;
            first_run = std::min(first_run, k);
            last_run = k;
        }
        for (std::size_t k = first_run + 1; k < last_run; ++k) count += pieces_[k].gap >= 0;
        if (count == 0 || count > kMostGapsInFront) return;
        for (std::size_t k = first_run + 1; k < last_run; ++k)
            if (pieces_[k].gap >= 0 && pieces_[k].gap != kSliver) {
                Spot& gap = gaps_[static_cast<std::size_t>(pieces_[k].gap)];
                gap.between = true;
                gap.framed = pieces_[k - 1].gap < 0 && pieces_[k + 1].gap < 0 &&
                             std::min(pieces_[k - 1].length, pieces_[k + 1].length) >= how_.rim;
            }
    }
};

// How much of the shape lies inside the frame: its area on 64 rows across the
// box, with and without the frame's edges; the evidence read so far scaled to
// the whole shape. `chord_at(y, lo, hi)`: the shape's extent along row y.
template <class ChordAt>
double unclipped_length(const ScanTable& table, const Box& box, ChordAt chord_at, const Evidence& ev,
                        const HalfPlane* visible) {
    double all = 0, inside = 0;
    const double frame_right = table.width - 0.5, frame_bottom = table.height - 0.5;
    for (int k = 0; k < 64; ++k) {
        const double y = box.y_lo + (box.y_hi - box.y_lo) * (k + 0.5) / 64;
        double lo, hi;
        if (!chord_at(y, lo, hi)) continue;
        all += hi - lo;
        double from = -0.5, to = frame_right;
        visible_part(visible, true, y, from, to);
        if (y >= -0.5 && y <= frame_bottom) inside += std::max(0.0, std::min(hi, to) - std::max(lo, from));
    }
    return all > 0 ? (ev.core + ev.inner_rim + ev.outer_rim) * all / std::max(inside, 1e-9) : 0.0;
}

// The evidence of a shape along the scanned lines in `box`, added to `ev`.
template <class Chord, class ChordAt>
void integrate(const ScanTable& table, const Box& box, const Weighing& how, Chord chord, ChordAt chord_at,
               Evidence& ev) {
    Integration<Chord> reading(table, how, chord, ev);
    reading.read_axis(table.rows, true, box.y_lo, box.y_hi);
    reading.read_axis(table.columns, false, box.x_lo, box.x_hi);
    reading.weigh_hidden();
    ev.unclipped = unclipped_length(table, box, chord_at, ev, how.visible);
}

// The core of one scanned line that read_turns reads: pixels [first, last].
struct TurnLine {
    bool rows;
    std::int32_t line, first, last;
    const Run *begin, *end;  // the line's runs
};

// What reading a shape's inside and its rays keeps in lists: a thread's,
// reused from shape to shape (each reader empties what it takes).
struct InsideLists {
    std::vector<TurnLine> pieces;
    std::vector<double> middles;
    std::vector<std::uint8_t> cells;
    std::vector<std::int32_t> first, last, stack;
    std::vector<double> found;

    static InsideLists& of_thread() {
        thread_local InsideLists lists;
        return lists;
    }
};

// Reads the frame along the cores of at most kTurnLines scanned lines each
// way (a share, not a count, is wanted) into ev.lines_read and ev.turns.
template <class Chord>
void read_turns(const ScanTable& table, double rim, double x_lo, double x_hi, double y_lo, double y_hi, Chord chord,
                Evidence& ev) {
    InsideLists& lists = InsideLists::of_thread();
    std::vector<TurnLine>& pieces = lists.pieces;
    std::vector<double>& middles = lists.middles;
    pieces.clear();
    middles.clear();
    auto collect = [&](const Axis& axis, bool rows, double first, double last) {
        const auto begin = std::lower_bound(axis.lines.begin(), axis.lines.end(),
                                            static_cast<std::int32_t>(std::ceil(first)));
        const auto end = std::upper_bound(begin, axis.lines.end(), static_cast<std::int32_t>(std::floor(last)));
        const std::ptrdiff_t stride = std::max<std::ptrdiff_t>(1, (end - begin + kTurnLines - 1) / kTurnLines);
        for (auto k = begin; k < end; k += std::min(stride, end - k)) {
            double a, b;
            if (!chord(rows, *k, -rim, a, b)) continue;
            const auto j0 = static_cast<std::int32_t>(std::max(0.0, std::ceil(a)));
            const auto j1 = static_cast<std::int32_t>(std::min(axis.extent - 1.0, std::floor(b)));
            if (j1 - j0 < 4) continue;  // too short to turn twice
            const auto idx = static_cast<std::size_t>(k - axis.lines.begin());
            const Run* runs = axis.runs.data();
            pieces.push_back({rows, *k, j0, j1, runs + axis.first[idx], runs + axis.first[idx + 1]});
            middles.push_back(brightness(table.line_pixel(rows, *k, (j0 + j1) / 2)));
        }
    };
    collect(table.rows, true, y_lo, y_hi);
    collect(table.columns, false, x_lo, x_hi);
    if (pieces.empty()) return;
    const auto mid = middles.begin() + static_cast<std::ptrdiff_t>(middles.size() / 2);
    std::nth_element(middles.begin(), mid, middles.end());
    const double step = std::max(kMinTurn, kTurnShare * *mid);
    // Turns are read on the colour's own runs: a bar or a cable in front of
    // a ball cuts them, and its edges are no turns of the ball's surface.
    // (A line cut more often is read across: a coil's turns are its own.)
    for (const TurnLine& piece : pieces) {
        const Run* begin = std::upper_bound(piece.begin, piece.end, piece.first,
                                            [](std::int32_t v, const Run& q) { return 2 * v < q.end2; });
        const Run* end = begin;
        while (end != piece.end && end->start2 < 2 * piece.last) ++end;
        if (end - begin > static_cast<std::ptrdiff_t>(kMostGapsInFront) + 1) {
            ev.turns += count_turns(table, piece.rows, piece.line, piece.first, piece.last, step);
            continue;
        }
        for (const Run* run = begin; run != end; ++run) {
            const std::int32_t first = std::max(piece.first, (run->start2 + 1) / 2);
            const std::int32_t last = std::min(piece.last, (run->end2 - 1) / 2);
            if (last - first >= 2) ev.turns += count_turns(table, piece.rows, piece.line, first, last, step);
        }
    }
    ev.lines_read += static_cast<double>(pieces.size());
}

// The core sampled on a grid of every `step`-th pixel each way from (x0, y0),
// w x h cells: 0 outside the core, 1 set, 2 unset, 3 unset and visited; with
// the histogram of the set cells' brightness.
struct HoleGrid {
    explicit HoleGrid(std::vector<std::uint8_t>& cells_of_thread) : cells(cells_of_thread) {}

    std::int32_t x0 = 0, y0 = 0, step = 1, w = 0, h = 0;
    std::vector<std::uint8_t>& cells;
    std::array<std::uint32_t, 256> histogram{};
    std::uint32_t set_count = 0;

    std::size_t at(std::int32_t gx, std::int32_t gy) const {
        return static_cast<std::size_t>(gy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(gx);
    }
};

// Samples the core (rows y0 .. y1) on `grid` (step and y0 set); false when it
// holds no pixel.
template <class Chord>
bool sample_core(const ScanTable& table, double rim, std::int32_t y1, Chord chord, HoleGrid& grid) {
    const std::int32_t step = grid.step, y0 = grid.y0;
    const std::int32_t h = (y1 - y0) / step + 1;
    // Each grid row's pixels inside the core, [first, last]; then the grid
    // over the box they span.
    InsideLists& lists = InsideLists::of_thread();
    std::vector<std::int32_t>& first = lists.first;
    std::vector<std::int32_t>& last = lists.last;
    first.resize(static_cast<std::size_t>(h));
    last.resize(first.size());
    std::int32_t x0 = table.width, x1 = -1;
    for (std::int32_t gy = 0; gy < h; ++gy) {
        double lo, hi;
        std::int32_t a = 0, b = -1;
        if (chord(true, y0 + gy * step, -rim, lo, hi)) {
            a = std::max<std::int32_t>(0, static_cast<std::int32_t>(std::ceil(lo)));
            b = std::min<std::int32_t>(table.width - 1, static_cast<std::int32_t>(std::floor(hi)));
        }
        first[static_cast<std::size_t>(gy)] = a;
        last[static_cast<std::size_t>(gy)] = b;
        if (b >= a) {
            x0 = std::min(x0, a);
            x1 = std::max(x1, b);
        }
    }
    if (x1 < x0) return false;
    grid.x0 = x0;
    grid.h = h;
    grid.w = (x1 - x0) / step + 1;
    grid.cells.assign(static_cast<std::size_t>(grid.w) * static_cast<std::size_t>(h), 0);
    for (std::int32_t gy = 0; gy < h; ++gy) {
        const std::int32_t y = y0 + gy * step;
        const std::uint8_t* m = table.mask->row(y);
        const std::int32_t a = first[static_cast<std::size_t>(gy)], b = last[static_cast<std::size_t>(gy)];
        for (std::int32_t gx = (std::max(a, x0) - x0 + step - 1) / step; x0 + gx * step <= b; ++gx) {
            const std::int32_t x = x0 + gx * step;
            if (m[x]) {
                grid.cells[grid.at(gx, gy)] = 1;
                ++grid.histogram[static_cast<std::size_t>(brightness(table.frame->pixel(y, x)))];
                ++grid.set_count;
            } else {
                grid.cells[grid.at(gx, gy)] = 2;
            }
        }
    }
    return true;
}

// The largest patch of unset cells of `grid` that touches neither the core's
// edge nor the frame's: its cells (0 when none) and their mean brightness.
std::int32_t largest_enclosed(const ScanTable& table, HoleGrid& grid, double& mean_brightness) {
    const std::int32_t w = grid.w, h = grid.h, step = grid.step;
    std::vector<std::int32_t>& stack = InsideLists::of_thread().stack;
    std::int32_t best_cells = 0;
    for (std::int32_t gy = 0; gy < h; ++gy) {
        for (std::int32_t gx = 0; gx < w; ++gx) {
            if (grid.cells[grid.at(gx, gy)] != 2) continue;
            grid.cells[grid.at(gx, gy)] = 3;
            stack.assign(1, gy * w + gx);
            std::int32_t cells = 0, x_lo = gx, x_hi = gx, y_lo = gy, y_hi = gy;
            double sum = 0;
            bool open = false;  // reaches the core's edge or the frame's
            while (!stack.empty()) {
                const std::int32_t cx = stack.back() % w, cy = stack.back() / w;
                stack.pop_back();
                const std::int32_t x = grid.x0 + cx * step, y = grid.y0 + cy * step;
                ++cells;
                x_lo = std::min(x_lo, cx);
                x_hi = std::max(x_hi, cx);
                y_lo = std::min(y_lo, cy);
                y_hi = std::max(y_hi, cy);
                sum += brightness(table.frame->pixel(y, x));
                if (x < step || y < step || x >= table.width - step || y >= table.height - step) open = true;
                const std::int32_t nx[4] = {cx - 1, cx + 1, cx, cx}, ny[4] = {cy, cy, cy - 1, cy + 1};
                for (int n = 0; n < 4; ++n) {
                    if (nx[n] < 0 || ny[n] < 0 || nx[n] >= w || ny[n] >= h) {
                        open = true;
                        continue;
                    }
                    std::uint8_t& v = grid.cells[grid.at(nx[n], ny[n])];
                    if (v == 0) open = true;
                    if (v == 2) {
                        v = 3;
                        stack.push_back(ny[n] * w + nx[n]);
                    }
                }
            }
            // A hole is about as wide as it is long; a sliver of a cable or a
            // bar in front, cut off where the mask bridges it, is not.
            const double longest = std::max(x_hi - x_lo, y_hi - y_lo) + 1.0;
            if (!open && cells > best_cells && cells >= kMinHoleFill * longest * longest) {
                best_cells = cells;
                mean_brightness = sum / cells;
            }
        }
    }
    return best_cells;
}

// Finds the largest patch of unset mask pixels inside the core (the shape
// shrunk by the rim, rows y_lo to y_hi) that touches neither the core's edge
// nor the frame's, and compares its brightness with the set pixels' there.
// Large shapes are read on a grid of every `step`-th pixel each way: a hole
// that counts still spans several of its cells.
template <class Chord>
void read_holes(const ScanTable& table, double rim, double y_lo, double y_hi, double size, double area, Chord chord,
                Evidence& ev) {
    HoleGrid grid(InsideLists::of_thread().cells);
    grid.step = std::max<std::int32_t>(1, static_cast<std::int32_t>(2.0 * (size - rim) / kHoleCells));
    grid.y0 = std::max<std::int32_t>(0, static_cast<std::int32_t>(std::ceil(y_lo)));
    const std::int32_t y1 = std::min<std::int32_t>(table.height - 1, static_cast<std::int32_t>(std::floor(y_hi)));
    if (y1 < grid.y0 || area <= 0) return;
    if (!sample_core(table, rim, y1, chord, grid) || grid.set_count == 0) return;
    double best_brightness = 0;
    const std::int32_t best_cells = largest_enclosed(table, grid, best_brightness);
    if (best_cells == 0) return;
    std::uint32_t below = 0;
    std::size_t median = 0;
    while (2 * (below + grid.histogram[median]) < grid.set_count) below += grid.histogram[median++];
    const double share = static_cast<double>(best_cells) * grid.step * grid.step / area;
    if (share > ev.hole) {
        ev.hole = share;
        ev.hole_dark = best_brightness <= static_cast<double>(median) - kHoleDarker;
    }
}

// Where the line {p + u d} enters and leaves the conic region q(u) <= 0 with
// q(u) = A u^2 + B u + C; false when it misses.
bool quadratic_interval(double A, double B, double C, double& lo, double& hi) {
    if (A <= 0) return false;
    const double disc = B * B - 4.0 * A * C;
    if (disc <= 0) return false;
    const double root = std::sqrt(disc);
    lo = (-B - root) / (2.0 * A);
    hi = (-B + root) / (2.0 * A);
    return true;
}

// Where the row (when `rows`) or column at `position` crosses the shape grown
// by `grow` (shrunk when negative): [lo, hi] along it; false when it misses.
auto disc_chord(const DiscShape& disc) {
    return [disc](bool rows, double position, double grow, double& lo, double& hi) {
        const double radius = disc.r + grow;
        if (radius <= 0) return false;
        const double d = rows ? position - disc.y : position - disc.x;
        const double h2 = radius * radius - d * d;
        if (h2 <= 0) return false;
        const double h = std::sqrt(h2);
        const double c = rows ? disc.x : disc.y;
        lo = c - h;
        hi = c + h;
        return true;
    };
}

auto ellipse_chord(const EllipseShape& e) {
    const double cs = std::cos(e.theta), sn = std::sin(e.theta);
    return [e, cs, sn](bool rows, double position, double grow, double& lo, double& hi) {
        const double a = e.a + grow, b = e.b + grow;
        if (a <= 0 || b <= 0) return false;
        // Points (u, position) on a row or (position, u) on a column, in the
        // ellipse's frame: s = (x - cx) cs + (y - cy) sn, t = -(x - cx) sn + (y - cy) cs.
        double s0, s1, t0, t1;  // s = s0 + s1 u, t = t0 + t1 u
        if (rows) {
            const double dy = position - e.y;
            s0 = -e.x * cs + dy * sn;
            s1 = cs;
            t0 = e.x * sn + dy * cs;
            t1 = -sn;
        } else {
            const double dx = position - e.x;
            s0 = dx * cs - e.y * sn;
            s1 = sn;
            t0 = -dx * sn - e.y * cs;
            t1 = cs;
        }
        const double ia = 1.0 / (a * a), ib = 1.0 / (b * b);
        return quadratic_interval(s1 * s1 * ia + t1 * t1 * ib, 2.0 * (s0 * s1 * ia + t0 * t1 * ib),
                                  s0 * s0 * ia + t0 * t0 * ib - 1.0, lo, hi);
    };
}

// Half the width and height of the box around an ellipse grown by `grow`.
void ellipse_reach(const EllipseShape& e, double grow, double& reach_x, double& reach_y) {
    const double cs = std::cos(e.theta), sn = std::sin(e.theta);
    reach_x = std::sqrt(std::pow((e.a + grow) * cs, 2) + std::pow((e.b + grow) * sn, 2));
    reach_y = std::sqrt(std::pow((e.a + grow) * sn, 2) + std::pow((e.b + grow) * cs, 2));
}

}  // namespace

Evidence disc_evidence(const ScanTable& table, const DiscShape& disc, double rim,
                       const std::vector<DiscShape>* touching, const HalfPlane* visible) {
    Evidence ev;
    const double outer = disc.r + rim;
    const auto chord = disc_chord(disc);
    auto chord_at = [&](double y, double& lo, double& hi) { return chord(true, y, rim, lo, hi); };
    integrate(table, {disc.x - outer, disc.x + outer, disc.y - outer, disc.y + outer},
              {rim, disc.r / 2, true, true, touching, kNearBackgroundBetween, visible}, chord, chord_at, ev);
    ev.cut = visible != nullptr;
    return ev;
}

Evidence ellipse_evidence(const ScanTable& table, const EllipseShape& e, double rim, bool hiding) {
    Evidence ev;
    double reach_x, reach_y;
    ellipse_reach(e, rim, reach_x, reach_y);
    const auto chord = ellipse_chord(e);
    auto chord_at = [&](double y, double& lo, double& hi) { return chord(true, y, rim, lo, hi); };
    integrate(table, {e.x - reach_x, e.x + reach_x, e.y - reach_y, e.y + reach_y},
              {rim, std::min(e.a, e.b) / 2, true, hiding}, chord, chord_at, ev);
    return ev;
}

void read_disc_inside(const ScanTable& table, const DiscShape& disc, double rim, Evidence& ev) {
    if (table.frame == nullptr) return;
    const double core = disc.r - rim;
    read_turns(table, rim, disc.x - core, disc.x + core, disc.y - core, disc.y + core, disc_chord(disc), ev);
    read_holes(table, rim, disc.y - core, disc.y + core, disc.r, std::numbers::pi * disc.r * disc.r, disc_chord(disc),
               ev);
}

void read_ellipse_inside(const ScanTable& table, const EllipseShape& e, double rim, Evidence& ev) {
    if (table.frame == nullptr) return;
    double reach_x, reach_y;
    ellipse_reach(e, -rim, reach_x, reach_y);
    read_turns(table, rim, e.x - reach_x, e.x + reach_x, e.y - reach_y, e.y + reach_y, ellipse_chord(e), ev);
    read_holes(table, rim, e.y - reach_y, e.y + reach_y, std::min(e.a, e.b), std::numbers::pi * e.a * e.b,
               ellipse_chord(e), ev);
}

Evidence band_evidence(const ScanTable& table, const BandShape& band, double rim) {
    Evidence ev;
    const double dx = -band.ny, dy = band.nx;  // along the band
    auto chord = [&](bool rows, std::int32_t position, double grow, double& lo, double& hi) {
        const double half = band.width / 2.0 + grow;
        if (half <= 0) return false;
        // The scanned line p(u) = (u, position) or (position, u); s = normal
        // offset from the centre line, t = position along it; both linear in u.
        double s0, s1, t0, t1;
        if (rows) {
            s0 = (0 - band.px) * band.nx + (position - band.py) * band.ny;
            s1 = band.nx;
            t0 = (0 - band.px) * dx + (position - band.py) * dy;
            t1 = dx;
        } else {
            s0 = (position - band.px) * band.nx + (0 - band.py) * band.ny;
            s1 = band.ny;
            t0 = (position - band.px) * dx + (0 - band.py) * dy;
            t1 = dy;
        }
        lo = -1e300;
        hi = 1e300;
        auto slab = [&](double v0, double v1, double a, double b) {  // a <= v0 + v1 u <= b
            if (std::fabs(v1) < 1e-12) return v0 >= a && v0 <= b;
            double u0 = (a - v0) / v1, u1 = (b - v0) / v1;
            if (u0 > u1) std::swap(u0, u1);
            lo = std::max(lo, u0);
            hi = std::min(hi, u1);
            return hi > lo;
        };
        return slab(s0, s1, -half, half) && slab(t0, t1, band.t0, band.t1);
    };
    // Bounding box of the grown band's corners.
    const double half = band.width / 2.0 + rim;
    double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;
    for (double t : {band.t0, band.t1})
        for (double s : {-half, half}) {
            const double x = band.px + t * dx + s * band.nx, y = band.py + t * dy + s * band.ny;
            x_lo = std::min(x_lo, x);
            x_hi = std::max(x_hi, x);
            y_lo = std::min(y_lo, y);
            y_hi = std::max(y_hi, y);
        }
    auto chord_at = [&](double, double& lo, double& hi) {
        lo = 0;
        hi = 1;
        return true;  // bands are weighed on what the frame shows
    };
    integrate(table, {x_lo, x_hi, y_lo, y_hi}, {rim, band.width / 4, false, false}, chord, chord_at, ev);
    return ev;
}

namespace {

// The outline's radius: kRays rays, read every kRayStep pixels (or every
// kRadiusSteps-th of the radius, if longer) from kInside0 to kBeyond1 times
// the radius; the colour inside is their mean over [kInside0, kInside1] r,
// beyond over [kBeyond0, kBeyond1] r. A ray counts when the two differ by
// kMinShareChange or more (shares of 255); the median needs a quarter of the
// rays, and moves the radius by at most kMaxRadiusChange of it.
constexpr int kRays = 32;
constexpr double kRayStep = 0.5;
constexpr double kRadiusSteps = 40;
constexpr double kInside0 = 0.4, kInside1 = 0.7, kBeyond0 = 1.4, kBeyond1 = 1.7;
constexpr double kMinShareChange = 20.0;
constexpr double kMaxRadiusChange = 0.35;

// One ray's samples, a list per value: the four pixels about each sample
// point and where it lies between them are read first, then the colour's
// shares worked out for every sample in one loop the compiler vectorises.
struct RayLists {
    // Channel q of the pixels about a sample: [q] above left, [3 + q] above
    // right, [6 + q] below left, [9 + q] below right.
    std::array<std::vector<double>, 12> corners;
    std::vector<double> fx, fy;                 // where the sample lies between them
    std::array<std::vector<double>, 3> shares;  // each channel's share of the colour, times 255
    std::vector<double> sums;                   // the channels' sum, 30 at least

    static RayLists& of_thread(std::size_t samples) {
        thread_local RayLists lists;
        for (auto& list : lists.corners) list.resize(samples);
        for (auto& list : lists.shares) list.resize(samples);
        for (auto* list : {&lists.fx, &lists.fy, &lists.sums}) list->resize(samples);
        return lists;
    }
};

// The pixels about the samples (x + rho c, y + rho s), rho = near + step j,
// inside the frame (the ray's ends are).
void read_ray(const ImageView& frame, double x, double y, double c, double s, double near, double step,
              std::size_t samples, RayLists& ray) {
    double* k[12];
    for (int n = 0; n < 12; ++n) k[n] = ray.corners[n].data();
    double *fxs = ray.fx.data(), *fys = ray.fy.data();
    for (std::size_t j = 0; j < samples; ++j) {
        const double rho = near + step * static_cast<double>(j);
        const double px = x + rho * c, py = y + rho * s;
        const std::int64_t x0 = floor_to_int(px), y0 = floor_to_int(py);
        const std::int64_t x1 = std::min(x0 + 1, frame.cols - 1), y1 = std::min(y0 + 1, frame.rows - 1);
        fxs[j] = px - static_cast<double>(x0);
        fys[j] = py - static_cast<double>(y0);
        const std::uint8_t* pixels[4] = {frame.pixel(y0, x0), frame.pixel(y0, x1), frame.pixel(y1, x0),
                                         frame.pixel(y1, x1)};
        for (int corner = 0; corner < 4; ++corner)
            for (int q = 0; q < 3; ++q) k[3 * corner + q][j] = pixels[corner][q];
    }
}

// Each sample's colour (bilinear) as each channel's share of the channels'
// sum, times 255; near-black samples as if their sum were 30 (their shares
// are noise). A block of samples at a time is worked out into arrays of its
// own, in a loop the compiler vectorises; the few near-black samples again
// after it, as a comparison in it would keep it from being vectorised.
void shares_of(RayLists& ray, std::size_t samples) {
    constexpr std::size_t kBlock = 16;
    const double *fxs = ray.fx.data(), *fys = ray.fy.data();
    const double* k[12];
    for (int n = 0; n < 12; ++n) k[n] = ray.corners[n].data();
    const auto colour = [&](std::size_t j, double (&out)[3]) {
        const double fx = fxs[j], fy = fys[j];
        double sum = 0;
        for (int q = 0; q < 3; ++q) {
            out[q] = (1 - fy) * ((1 - fx) * k[q][j] + fx * k[3 + q][j]) + fy * ((1 - fx) * k[6 + q][j] + fx * k[9 + q][j]);
            sum += out[q];
        }
        return sum;
    };
    for (std::size_t first = 0; first < samples; first += kBlock) {
        const std::size_t count = std::min(kBlock, samples - first);
        double sums[kBlock], shares[3][kBlock];
        for (std::size_t n = 0; n < count; ++n) {
            double out[3];
            const double sum = colour(first + n, out), scale = 255.0 / sum;
            sums[n] = sum;
            for (int q = 0; q < 3; ++q) shares[q][n] = out[q] * scale;
        }
        std::copy(sums, sums + count, ray.sums.data() + first);
        for (int q = 0; q < 3; ++q) std::copy(shares[q], shares[q] + count, ray.shares[q].data() + first);
    }
    for (std::size_t j = 0; j < samples; ++j) {
        if (30.0 < ray.sums[j]) continue;  // sum = std::max(30.0, sum)
        double out[3];
        colour(j, out);
        const double scale = 255.0 / 30.0;
        ray.sums[j] = 30.0;
        for (int q = 0; q < 3; ++q) ray.shares[q][j] = out[q] * scale;
    }
}

// Where the ray's colour turns from the shape's to what lies beyond, as a
// share of the shape's radius `r` that way; false when it does not turn
// clearly.
bool turn_along(const RayLists& ray, std::size_t samples, double r, double step, double& at) {
    Colour inside{}, beyond{};
    double n_in = 0, n_out = 0, sum_in = 0, sum_out = 0;
    std::size_t first = samples, last = samples;  // the samples from kInside1 r and from kBeyond0 r
    for (std::size_t j = 0; j < samples; ++j) {
        const double rho = kInside0 * r + step * static_cast<double>(j);
        const bool in = rho <= kInside1 * r, out = rho >= kBeyond0 * r;
        for (int q = 0; q < 3; ++q) {
            inside[q] += in ? ray.shares[q][j] : 0.0;
            beyond[q] += out ? ray.shares[q][j] : 0.0;
        }
        n_in += in;
        n_out += out;
        sum_in += in ? ray.sums[j] : 0.0;
        sum_out += out ? ray.sums[j] : 0.0;
        if (first == samples && rho >= kInside1 * r) first = j;
        if (last == samples && out) last = j;
    }
    if (n_in == 0 || n_out == 0 || first >= last) return false;
    Colour span{};
    for (int q = 0; q < 3; ++q) {
        inside[q] /= n_in;
        beyond[q] /= n_out;
        span[q] = inside[q] - beyond[q];
    }
    sum_in /= n_in;
    sum_out /= n_out;
    const double length2 = distance2(inside, beyond);
    if (length2 < kMinShareChange * kMinShareChange) return false;
    // Between the two, each sample's share of the way from beyond to
    // inside, turned into the share of the shape's colour in the mix (a
    // brighter side weighs more in the shares), summed: the length of the
    // stretch that is the shape's.
    double length = 0;
    for (std::size_t j = first; j < last; ++j) {
        const double p[3] = {ray.shares[0][j], ray.shares[1][j], ray.shares[2][j]};
        const double t = std::clamp(
            ((p[0] - beyond[0]) * span[0] + (p[1] - beyond[1]) * span[1] + (p[2] - beyond[2]) * span[2]) / length2,
            0.0, 1.0);
        const double mixed = sum_in * (1 - t) + t * sum_out;
        length += mixed > 0 ? t * sum_out / mixed : 0.0;
    }
    const double start = kInside0 * r + step * static_cast<double>(first) - step / 2;
    at = (start + step * length) / r;
    return true;
}

}  // namespace

double outline_scale(const ScanTable& table, const EllipseShape& e) {
    if (table.frame == nullptr || table.mask == nullptr) return 1.0;
    const double w = table.width, h = table.height;
    std::vector<double>& found = InsideLists::of_thread().found;
    found.clear();
    for (int k = 0; k < kRays; ++k) {
        const double angle = 2.0 * std::numbers::pi * k / kRays, c = std::cos(angle), s = std::sin(angle);
        // The shape's radius this way.
        const double u = c * std::cos(e.theta) + s * std::sin(e.theta), v = -c * std::sin(e.theta) + s * std::cos(e.theta);
        const double r = e.a * e.b / std::sqrt(e.b * e.b * u * u + e.a * e.a * v * v);
        // The whole ray inside the frame (both its ends), and the mask set
        // where it crosses the rim.
        const double near = kInside0 * r, far = kBeyond1 * r, rim_in = r - std::max(1.5, 0.15 * r);
        auto in_frame = [&](double rho) {
            const double x = e.x + rho * c, y = e.y + rho * s;
            return x >= 0 && x <= w - 1 && y >= 0 && y <= h - 1;
        };
        if (!in_frame(near) || !in_frame(far)) continue;
        const auto mx = static_cast<std::int32_t>(std::floor(e.x + rim_in * c + 0.5));
        const auto my = static_cast<std::int32_t>(std::floor(e.y + rim_in * s + 0.5));
        if (mx < 0 || my < 0 || mx >= table.width || my >= table.height || table.mask->row(my)[mx] == 0) continue;
        const double step = std::max(kRayStep, r / kRadiusSteps);
        const auto samples = static_cast<std::size_t>(std::floor((kBeyond1 - kInside0) * r / step)) + 1;
        RayLists& ray = RayLists::of_thread(samples);
        read_ray(*table.frame, e.x, e.y, c, s, near, step, samples, ray);
        shares_of(ray, samples);
        double at;
        if (turn_along(ray, samples, r, step, at)) found.push_back(at);
    }
    if (found.size() < static_cast<std::size_t>(kRays / 4)) return 1.0;
    std::sort(found.begin(), found.end());
    const std::size_t n = found.size();
    const double median = n % 2 ? found[n / 2] : (found[n / 2 - 1] + found[n / 2]) / 2;
    return std::clamp(median, 1 - kMaxRadiusChange, 1 + kMaxRadiusChange);
}

}  // namespace kestrune::find
