// rank_by_analogs and evaluate_analogs: the caller's reservoirs and field
// projects read once into owned tables (the screening input columns, same
// names and units), the analog search, the vote and both screening methods
// run in the core without the GIL, the result tables built column by column.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "py_analogs.hpp"

namespace zelt_py {

using namespace pybind11::literals;
namespace an = zelt::analogs;

using namespace analog_face;

namespace {

// True, False and numpy's bool scalars: they index as 1 and 0, but a flag
// handed to a count is a slip, not a count.
bool is_boolean(py::handle value) {
    if (PyBool_Check(value.ptr())) return true;
    const py::handle type = py::type::of(value);
    const py::object module = py::getattr(type, "__module__", py::none());
    if (!py::isinstance<py::str>(module) || module.cast<std::string>() != "numpy") return false;
    const auto name = type.attr("__name__").cast<std::string>();
    return name == "bool_" || name == "bool";
}

// An integer argument in [lo, hi]: a Python or numpy integer (anything with
// __index__ but a bool); TypeError for the rest, ValueError outside the range.
long long bounded_int(py::handle value, const char* name, long long lo, long long hi, const std::string& function) {
    if (!PyIndex_Check(value.ptr()) || is_boolean(value)) {
        fail(PyExc_TypeError, function, std::string(name) + " must be an integer, not " +
                                            py::type::of(value).attr("__name__").cast<std::string>());
    }
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || v < lo || v > hi) {
        fail(PyExc_ValueError, function, std::string(name) + " must be between " + std::to_string(lo) + " and " +
                                             std::to_string(hi) + ", not " + repr_text(index));
    }
    return v;
}

an::Options analog_options(py::handle k, py::handle min_shared, const std::string& function) {
    an::Options o;
    o.k = static_cast<std::size_t>(bounded_int(k, "k", 1, 1000, function));
    o.min_shared = static_cast<std::size_t>(bounded_int(min_shared, "min_shared", 1, kParams, function));
    return o;
}

// The first method over a table: its scores and reported knock-outs.
struct Screen {
    std::vector<double> first_family;
    std::vector<std::uint8_t> knocked_out;
    std::vector<double> second_family;
};

Screen screen(const Values& v, const zelt::ScreeningLimits& limits, const zelt::ScreeningLimits2019* limits2019,
              const std::string& function) {
    const std::size_t n = v.first.size();
    Screen s;
    zelt::FirstMethodResult first = zelt::screen_first_method(v.first, limits);
    if (first.failure == zelt::BatchFailure::math_domain) {
        throw std::domain_error(function + ": math domain error in the screen of row " +
                                std::to_string(first.failed_row));
    }
    s.first_family = an::family_scores_first(first.scores, n);
    s.knocked_out = an::family_knockouts(an::reported_knockouts(v.first, limits, first), n);
    if (limits2019 != nullptr) {
        zelt::SecondMethodResult second = zelt::screen_2019_method(v.second, *limits2019);
        s.second_family = an::family_scores_second(second.scores, n);
    }
    return s;
}

py::object names_of_families(const std::vector<int>& family) {
    py::list out;
    for (int f : family) out.append(f < 0 ? py::object(py::none()) : py::object(pymodule::to_py(an::kFamilyNames[f])));
    py::object result = std::move(out);   // g++ 12 moves a list into an object only when told, g++ 14 always
    return result;
}

// values[at[0]], values[at[1]], ... as a list: any objects, tuples included,
// stay one value each.
py::list taken(const py::list& values, const std::vector<std::int64_t>& at) {
    py::list out(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) {
        PyObject* v = PyList_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(at[i]));
        Py_INCREF(v);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    return out;
}

std::vector<std::int64_t> composed(const std::vector<std::int64_t>& outer, const std::vector<std::int64_t>& inner) {
    std::vector<std::int64_t> out(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) out[i] = outer[static_cast<std::size_t>(inner[i])];
    return out;
}

template <typename T>
py::array_t<T> array_of(const std::vector<T>& v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(T));
    return a;
}

}  // namespace

// ----------------------------------------------------------- rank_by_analogs

py::tuple rank_by_analogs(py::object reservoirs, py::object projects, py::object k, py::object method,
                          py::object outcome, py::object families, py::object min_shared) {
    const std::string function = "rank_by_analogs";
    const an::Options options = analog_options(k, min_shared, function);
    const Projects pr = read_projects(projects, py::str(method), py::str(outcome), families, options.min_shared, function);
    const InputTable rt = open_table(reservoirs, "reservoirs table", function);
    const Values rv = read_values(rt, function);
    const Libs libs;
    const zelt::ScreeningLimits limits = first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));

    const std::size_t n = rt.n, labels = pr.labels.size();
    an::Neighbours near;
    an::Votes votes;
    Screen sc;
    {
        py::gil_scoped_release unlocked;
        const std::vector<double> spreads = an::robust_spreads(pr.values.params, kScales);
        near = an::nearest_projects(rv.params, pr.values.params, kScales, spreads, options);
        votes = an::vote(near, pr.label, labels, options.smoothing);
        if (n > 0) sc = screen(rv, limits, nullptr, function);
    }

    // Reservoir identifiers: "resv_id" where the table has it, else the row labels.
    auto id_at = rt.position.find(kResvId);
    py::list id_values = id_at == rt.position.end() ? py::list(rt.index.attr("tolist")())
                                                    : column_values(rt, id_at->second, kResvId, function);
    const py::list& ids = id_values;

    // The ranking: per ranked reservoir every label, by rank.
    std::vector<std::int64_t> rank_row, rank_label_index;
    std::vector<double> support, screen_score;
    std::vector<int> rank;
    std::vector<std::uint8_t> knocked;
    std::vector<std::string> few, lonely;
    for (std::size_t r = 0; r < n; ++r) {
        if (!votes.ranked[r]) {
            (near.enough_params[r] ? lonely : few).push_back(repr_text(ids[py::int_(r)]));
            continue;
        }
        std::vector<an::RankKey> keys(labels);
        for (std::size_t l = 0; l < labels; ++l) {
            const int f = pr.label_family[l];
            const bool ko = f >= 0 && sc.knocked_out[r * an::kFamilyCount + f] != 0;
            const double s = f >= 0 ? sc.first_family[r * an::kFamilyCount + f] : zelt::kNaN;
            keys[l] = an::combined_key(ko, votes.support[r * labels + l], std::isinf(s) ? zelt::kNaN : s);
        }
        const std::vector<int> ranks = an::shared_ranks(keys);
        std::vector<std::size_t> order(labels);
        for (std::size_t l = 0; l < labels; ++l) order[l] = l;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });
        for (std::size_t l : order) {
            const int f = pr.label_family[l];
            const double s = f >= 0 ? sc.first_family[r * an::kFamilyCount + f] : zelt::kNaN;
            rank_row.push_back(static_cast<std::int64_t>(r));
            rank_label_index.push_back(static_cast<std::int64_t>(l));
            support.push_back(votes.support[r * labels + l]);
            screen_score.push_back(std::isinf(s) ? zelt::kNaN : s);
            knocked.push_back(f >= 0 && sc.knocked_out[r * an::kFamilyCount + f] != 0);
            rank.push_back(ranks[l]);
        }
    }
    if (!few.empty()) {
        warn(function, "no ranking for the reservoirs " + listed(few) + ": fewer than " +
                           std::to_string(options.min_shared) + " of the distance parameters reported");
    }
    if (!lonely.empty()) {
        warn(function, "no ranking for the reservoirs " + listed(lonely) + ": no project reports " +
                           std::to_string(options.min_shared) + " of the same parameters");
    }
    py::list label_names, label_families;
    for (std::size_t l = 0; l < labels; ++l) {
        label_names.append(pr.labels[l]);
        const int f = pr.label_family[l];
        label_families.append(f < 0 ? py::object(py::none()) : py::object(pymodule::to_py(an::kFamilyNames[f])));
    }

    py::dict ranking;
    ranking["Reservoir_ID"] = taken(ids, rank_row);
    ranking["Method"] = taken(label_names, rank_label_index);
    ranking["Family"] = taken(label_families, rank_label_index);
    ranking["Support"] = array_of(support);
    ranking["KnockedOut"] = array_of(knocked).attr("astype")("bool");
    ranking["ScreenScore"] = array_of(screen_score);
    ranking["Rank"] = array_of(rank).attr("astype")("int64");
    py::object pd = py::module_::import("pandas");
    py::object ranking_df = pd.attr("DataFrame")(ranking);

    // The analogs: per reservoir its neighbours, nearest first.
    std::vector<std::int64_t> a_row, a_project, a_order;
    std::vector<double> a_distance;
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t i = 0; i < options.k; ++i) {
            const std::int64_t j = near.index[r * options.k + i];
            if (j < 0) break;
            a_row.push_back(static_cast<std::int64_t>(r));
            a_project.push_back(j);
            a_order.push_back(static_cast<std::int64_t>(i + 1));
            a_distance.push_back(near.distance[r * options.k + i]);
        }
    }
    std::vector<std::int64_t> table_rows(pr.rows.begin(), pr.rows.end());
    std::vector<std::int64_t> project_label(pr.label.begin(), pr.label.end());
    const py::list project_labels = pr.table.index.attr("tolist")();
    py::dict analog;
    analog["Reservoir_ID"] = taken(ids, a_row);
    analog["Neighbour"] = array_of(a_order);
    analog["Project"] = taken(project_labels, composed(table_rows, a_project));
    analog["Method"] = taken(label_names, composed(project_label, a_project));
    analog["Distance"] = array_of(a_distance);
    analog["Outcome"] = taken(pr.outcomes, a_project);
    return py::make_tuple(ranking_df, pd.attr("DataFrame")(analog));
}

// ---------------------------------------------------------- evaluate_analogs

py::tuple evaluate_analogs(py::object projects, py::object k, py::object method, py::object group,
                           py::object families, py::object min_shared, py::object verbose) {
    const std::string function = "evaluate_analogs";
    const an::Options options = analog_options(k, min_shared, function);
    const Projects pr = read_projects(projects, py::str(method), py::str("outcome"), families, options.min_shared, function);
    const std::size_t n = pr.rows.size();

    // Each project is left out with its own group: its row alone, or every
    // project of the same value in the group column (a missing value: its row alone).
    std::vector<std::int64_t> groups(n);
    for (std::size_t i = 0; i < n; ++i) groups[i] = static_cast<std::int64_t>(i);
    if (!group.is_none()) {
        auto g = pr.table.position.find(py::str(group).attr("lower")().cast<std::string>());
        if (g == pr.table.position.end()) {
            PyErr_SetObject(PyExc_KeyError, py::str(function + ": the projects table lacks the group column " +
                                                    repr_text(group)).ptr());
            throw py::error_already_set();
        }
        py::object codes = py::module_::import("pandas").attr("factorize")(column_at(pr.table, g->second))[py::int_(0)];
        auto c = py::array_t<std::int64_t, py::array::forcecast>::ensure(codes);
        if (!c) throw py::error_already_set();
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t code = c.at(static_cast<py::ssize_t>(pr.rows[i]));
            groups[i] = code >= 0 ? code + static_cast<std::int64_t>(n) : static_cast<std::int64_t>(i);
        }
    }
    std::vector<int> project_family(n);
    for (std::size_t i = 0; i < n; ++i) project_family[i] = pr.label_family[static_cast<std::size_t>(pr.label[i])];

    const Libs libs;
    const zelt::ScreeningLimits limits = first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));
    const zelt::ScreeningLimits2019 limits2019 =
        second_method_limits(libs, read_reference_table(libs, "screening_table_2019.csv"));
    an::Evaluation ev;
    {
        py::gil_scoped_release unlocked;
        const std::vector<double> spreads = an::robust_spreads(pr.values.params, kScales);
        const an::Neighbours near =
            an::nearest_projects(pr.values.params, pr.values.params, kScales, spreads, options, groups, groups);
        const an::Votes votes = an::vote(near, pr.label, pr.labels.size(), options.smoothing);
        const Screen sc = screen(pr.values, limits, &limits2019, function);
        ev = an::evaluate(project_family, votes, pr.label_family, sc.first_family, sc.second_family, sc.knocked_out);
    }
    if (ev.projects == 0) {
        fail(PyExc_ValueError, function, "no project's method label has a family; families={label: family} names them");
    }

    py::object pd = py::module_::import("pandas");
    py::dict summary;
    summary["Ranking"] = py::make_tuple("analogs", "halvane_zelt", "uom_zelt", "combined");
    summary["Top1"] = py::make_tuple(ev.analogs.top1, ev.first.top1, ev.second.top1, ev.combined.top1);
    summary["Top3"] = py::make_tuple(ev.analogs.top3, ev.first.top3, ev.second.top3, ev.combined.top3);
    summary["Projects"] = py::make_tuple(ev.projects, ev.projects, ev.projects, ev.projects);
    py::object summary_df = pd.attr("DataFrame")(summary);

    std::vector<std::int64_t> rows(pr.rows.begin(), pr.rows.end()), labels(pr.label.begin(), pr.label.end());
    py::list label_names;
    for (const std::string& l : pr.labels) label_names.append(l);
    auto credits = [&](const std::vector<an::Credit>& c, bool top1) {
        std::vector<double> v;
        for (const an::Credit& x : c) v.push_back(top1 ? x.top1 : x.top3);
        return array_of(v);
    };
    py::dict detail;
    detail["Project"] = taken(pr.table.index.attr("tolist")(), rows);
    detail["Method"] = taken(label_names, labels);
    detail["Family"] = names_of_families(project_family);
    detail["Analogs"] = names_of_families(ev.top_analogs);
    detail["halvane_zelt"] = names_of_families(ev.top_first);
    detail["uom_zelt"] = names_of_families(ev.top_second);
    detail["Combined"] = names_of_families(ev.top_combined);
    detail["Top1_Analogs"] = credits(ev.credit_analogs, true);
    detail["Top1_halvane_zelt"] = credits(ev.credit_first, true);
    detail["Top1_uom_zelt"] = credits(ev.credit_second, true);
    detail["Top1_Combined"] = credits(ev.credit_combined, true);
    py::object detail_df = pd.attr("DataFrame")(detail);

    if (pymodule::truth(verbose)) {
        std::string head = "Leave-one-out by family over " + std::to_string(ev.projects) + " projects (k = " +
                           std::to_string(options.k) +
                           (group.is_none() ? std::string(", each project left out alone")
                                            : ", every project of the same " + repr_text(group) + " left out together") +
                           "; ties counted as random tie-breaking would):";
        py::print(head);
        py::print(summary_df.attr("to_string")("index"_a = false, "float_format"_a = py::str("{:.3f}").attr("format")));
    }
    return py::make_tuple(summary_df, detail_df);
}

// ------------------------------------------------------------------ binding

void bind_analogs(py::module_& m) {
    const std::string rank_doc = pymodule::signature_doc(
        "rank_by_analogs(reservoirs, projects, k=7, method='method', outcome='outcome', families=None, "
        "min_shared=3)",
        "Ranks the methods applied in the field projects for every reservoir by its nearest\n"
        "projects (the screening input columns, same names and units; method: the projects'\n"
        "column of applied methods; families: {label: family} over the built-in mapping).\n"
        "A method whose family the first method knocks out on a reported value ranks last.\n\n"
        "Returns (ranking, analogs): one row per reservoir and method (Reservoir_ID, Method,\n"
        "Family, Support, KnockedOut, ScreenScore, Rank), and one per reservoir and nearest\n"
        "project (Reservoir_ID, Neighbour, Project, Method, Distance, Outcome).");
    m.def("rank_by_analogs", &rank_by_analogs, rank_doc.c_str(), py::arg("reservoirs"), py::arg("projects"),
          py::arg("k") = 7, py::arg("method") = "method", py::arg("outcome") = "outcome",
          py::arg("families") = py::none(), py::arg("min_shared") = 3);
    const std::string evaluate_doc = pymodule::signature_doc(
        "evaluate_analogs(projects, k=7, method='method', group=None, families=None, min_shared=3, "
        "verbose=True)",
        "Leave-one-out on the project table: each project ranked against the others (with\n"
        "group, every project of the same value in that column left out with it), top-1 and\n"
        "top-3 by family of the analog ranking, halvane_zelt, uom_zelt and their combination;\n"
        "ties count as random tie-breaking would. Prints the summary when verbose.\n\n"
        "Returns (summary, per_project).");
    m.def("evaluate_analogs", &evaluate_analogs, evaluate_doc.c_str(), py::arg("projects"), py::arg("k") = 7,
          py::arg("method") = "method", py::arg("group") = py::none(), py::arg("families") = py::none(),
          py::arg("min_shared") = 3, py::arg("verbose") = true);
}

}  // namespace zelt_py
