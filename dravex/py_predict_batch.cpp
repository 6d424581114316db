// CMainDravex.PredictBatch: the forecasts of many well designs in one call,
// the tables Predict returns stacked design after design.
//
// The designs' six columns are checked and copied once; the geological
// model runs once on all locations, each month's model once on all
// feature rows (through the booster library where Predict's would, with
// the GIL released, months shared among worker threads; through the
// model's own predict on one table otherwise); the bins, bands and decline
// fits run in the core (forecast_batch.hpp) on worker threads without the
// GIL; the two tables are built column by column. The driver's lock is
// held as Predict holds it; the driver's own lists are left as they are.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "forecast_batch.hpp"
#include "parallel.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

constexpr const char* kCaller = "CMainDravex.PredictBatch";

// The design columns (names of the module vocabulary) and their places in
// a monthly model's feature row; the ISIP takes the fourth place.
constexpr const char* kDesignColumns[] = {"strLatitudeMid", "strLongitudeMid", "strFracStages",
                                          "strWellLen",     "strFracSpacing",  "strFluidVolumePerLen"};
constexpr std::size_t kDesignSlots[] = {0, 1, 2, 4, 5, 6};
constexpr std::size_t kIsipSlot = 3;
constexpr std::size_t kFeatures = 7;

// A float64 array read in place: contiguous, converted when it is not.
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

unsigned worker_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::string label_text(const py::object& index, std::size_t row) {
    return shown_repr(pymodule::item(index, py::int_(row)));
}

[[noreturn]] void refuse_value(const py::object& name, const py::object& index, std::size_t row,
                               const py::handle& value) {
    pymodule::raise(PyExc_ValueError, std::string(kCaller) + ": \"" + text_of(name) +
                                          "\" of the design at row label " + label_text(index, row) +
                                          " must be a finite number, got " + shown_value(value));
}

// A design column as doubles, every value a finite real number (as Predict
// takes its arguments: bool, text, None, NaN and infinities are refused);
// ValueError naming the column and the row label of the first that is not.
std::vector<double> design_column(const py::object& designs, const py::object& name) {
    py::object column = pymodule::item(designs, name);
    if (!py::isinstance(column, global("pd").attr("Series")))
        pymodule::raise(PyExc_ValueError,
                        std::string(kCaller) + ": designs has more than one column \"" + text_of(name) + "\"");
    const py::object index = designs.attr("index");
    const std::string kind = text_of(column.attr("dtype").attr("kind"));
    if (kind == "f" || kind == "i" || kind == "u") {
        Doubles values = column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN);
        const double* p = values.data();
        std::vector<double> out(p, p + values.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            if (!std::isfinite(out[i])) refuse_value(name, index, i, pymodule::item(column.attr("iat"), py::int_(i)));
        return out;
    }
    const py::list objects = items_of(column.attr("to_numpy")("dtype"_a = "object"));
    std::vector<double> out(objects.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!real_number(objects[i], out[i]) || !std::isfinite(out[i])) refuse_value(name, index, i, objects[i]);
    return out;
}

// A number the batch needs (a month, bound, band or constant) as a double;
// TypeError saying what it is otherwise.
double number(const py::handle& value, const std::string& what) {
    double v = 0.0;
    if (!real_number(value, v))
        pymodule::raise(PyExc_TypeError,
                        std::string(kCaller) + ": " + what + " is not a number: " + shown_value(value));
    return v;
}

// KeyError naming every design column the table lacks.
void check_design_columns(const py::object& designs) {
    std::string missing;
    int count = 0;
    for (const char* name : kDesignColumns) {
        py::object column = global(name);
        const int present = PySequence_Contains(designs.attr("columns").ptr(), column.ptr());
        if (present < 0) throw py::error_already_set();
        if (present == 0) {
            missing += (count++ ? ", \"" : "\"") + text_of(column) + "\"";
        }
    }
    if (count == 1) pymodule::raise(PyExc_KeyError, std::string(kCaller) + ": designs has no column " + missing);
    if (count > 1) pymodule::raise(PyExc_KeyError, std::string(kCaller) + ": designs has no columns " + missing);
}

// ValueError naming the first design that is not a well (its row label)
// and how many are not.
void check_wells(const py::object& designs, const std::vector<double>& features, std::size_t n) {
    const std::size_t first = quon::first_non_well(features.data(), n);
    if (first == n) return;
    std::size_t count = 0;
    for (std::size_t i = first; i < n; ++i)
        count += quon::check_well(features.data() + i * kFeatures).fault != quon::WellFault::none;
    std::array<std::string, quon::kFeatureCount> names = feature_columns();
    for (std::string& name : names) name = "\"" + name + "\"";
    const double* row = features.data() + first * kFeatures;
    pymodule::raise(PyExc_ValueError,
                    std::string(kCaller) + ": the design at row label " + label_text(designs.attr("index"), first) +
                        " is not a well that can be built: " +
                        well_fault_text(quon::check_well(row), row, names) +
                        (count > 1 ? " (" + std::to_string(count) + " designs are not wells)" : ""));
}

// What the batch takes from the driver for one month.
struct Month {
    py::object key;  // the month as nOutputMonthList holds it
    py::object model;
    MonthlyModel road;
    quon::MonthBands bands;
    std::vector<const char*> missing;  // per bin: the band that is None ("P10" first), or nullptr
};

Month month_inputs(const py::object& self, const py::handle& key, long bins) {
    Month m;
    m.key = py::reinterpret_borrow<py::object>(key);
    m.model = month_model(self, self.attr("m_modelDict"), key, kCaller);
    m.road = monthly_model(self, key, m.model);
    const py::object bounds = month_entry(self.attr("m_boundList"), key, "bin bounds", kCaller);
    const py::object month_bands = month_entry(self.attr("m_modelProbBinned"), key, "P10/P90 band", kCaller);
    const std::string where = "month " + text_of(key) + ", bin ";
    for (long k = 0; k < bins; ++k) {
        const std::string bin = std::to_string(k);
        m.bands.bounds.push_back(number(pymodule::item(bounds, py::int_(k)), "the bound of " + where + bin));
        const py::object band = pymodule::item(month_bands, py::int_(k));
        const py::object p10 = pymodule::item(band, "P10");
        const py::object p90 = pymodule::item(band, "P90");
        const char* missing = p10.is_none() ? "P10" : (p90.is_none() ? "P90" : nullptr);
        m.missing.push_back(missing);
        m.bands.known.push_back(missing == nullptr ? 1 : 0);
        m.bands.p10.push_back(missing ? 0.0 : number(p10, "the P10 band of " + where + bin));
        m.bands.p90.push_back(missing ? 0.0 : number(p90, "the P90 band of " + where + bin));
    }
    return m;
}

// The ISIP of every location, from one call of the geological model on the
// list of [lat, lon] rows.
std::vector<double> estimate_isips(const py::object& geo, const std::vector<double>& lat,
                                   const std::vector<double>& lon) {
    py::list rows(lat.size());
    for (std::size_t i = 0; i < lat.size(); ++i) {
        py::list point(2);
        point[0] = py::float_(lat[i]);
        point[1] = py::float_(lon[i]);
        rows[i] = point;
    }
    Doubles isips = global("np").attr("asarray")(geo.attr("predict")(rows), "dtype"_a = "float64")
                                    .attr("reshape")(-1);
    if (static_cast<std::size_t>(isips.size()) != lat.size())
        pymodule::raise(PyExc_ValueError, std::string(kCaller) + ": the geological model gave " +
                                              std::to_string(isips.size()) + " values for " +
                                              std::to_string(lat.size()) + " locations");
    return std::vector<double>(isips.data(), isips.data() + isips.size());
}

py::array_t<double> array_of(const double* values, std::size_t n) {
    py::array_t<double> a(static_cast<py::ssize_t>(n));
    if (n > 0) std::memcpy(a.mutable_data(), values, n * sizeof(double));
    return a;
}

// Every month's model on every feature row: outputs[design * months + month].
std::vector<double> run_monthly_models(std::vector<Month>& months, const std::vector<double>& features,
                                       std::size_t n) {
    const std::size_t n_months = months.size();
    std::vector<double> outputs(n * n_months);
    std::vector<unsigned char> done(n_months, 0), library(n_months, 0);
    for (std::size_t k = 0; k < n_months; ++k) library[k] = months[k].road.native_for(months[k].model) ? 1 : 0;
    {
        py::gil_scoped_release release;
        quon::parallel_for(n_months, worker_threads(), 1, [&](std::size_t k) {
            if (!library[k]) return;
            const MonthlyModel& road = months[k].road;
            const quon::RowsPrediction p =
                quon::predict_rows(road.booster->handle(), features.data(), n, kFeatures, road.request);
            if (p.status != quon::RowStatus::ok) return;
            for (std::size_t i = 0; i < n; ++i) outputs[i * n_months + k] = static_cast<double>(p.values[i]);
            done[k] = 1;
        });
    }
    // The others through their own predict, on one table shared by the
    // months whose models take the same table (the models only read it).
    py::object matrix, table, table_columns;
    bool table_frame = false;
    for (std::size_t k = 0; k < n_months; ++k) {
        if (done[k]) continue;
        const MonthlyModel& road = months[k].road;
        if (!matrix) {
            py::array_t<double> values({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(kFeatures)});
            std::memcpy(values.mutable_data(), features.data(), features.size() * sizeof(double));
            matrix = values;
        }
        if (!table || table_frame != road.frame || (road.frame && !table_columns.equal(road.columns))) {
            table = model_table(road, matrix);
            table_columns = road.columns;
            table_frame = road.frame;
        }
        Doubles values = global("np").attr("asarray")(months[k].model.attr("predict")(table),
                                                                  "dtype"_a = "float64").attr("reshape")(-1);
        if (static_cast<std::size_t>(values.size()) != n)
            pymodule::raise(PyExc_ValueError, std::string(kCaller) + ": the model of month " +
                                                  text_of(months[k].key) + " gave " + std::to_string(values.size()) +
                                                  " values for " + std::to_string(n) + " designs");
        for (std::size_t i = 0; i < n; ++i) outputs[i * n_months + k] = values.data()[i];
    }
    return outputs;
}

// The column of a fitted quantity, or of the model outputs with 0 at
// month 0, design after design.
py::array_t<double> model_output_column(const std::vector<double>& outputs, std::size_t n, std::size_t n_months) {
    const std::size_t points = n_months + 1;
    py::array_t<double> a(static_cast<py::ssize_t>(n * points));
    double* p = a.mutable_data();
    for (std::size_t i = 0; i < n; ++i) {
        p[i * points] = 0.0;
        for (std::size_t k = 0; k < n_months; ++k) p[i * points + k + 1] = outputs[i * n_months + k];
    }
    return a;
}

// Per design, repeated on its rows: what lies outside the play's envelope
// (None without an envelope file), and whether its raw cumulative falls.
struct DesignNotes {
    std::optional<std::vector<std::string>> outside;
    std::vector<unsigned char> falls;
};

DesignNotes design_notes(const py::object& self, const std::vector<double>& features,
                         const std::vector<double>& outputs, std::size_t n, std::size_t n_months) {
    DesignNotes notes;
    notes.falls = quon::designs_falling(outputs, n, n_months);
    if (const std::optional<quon::DesignEnvelope> envelope = driver_envelope(self)) {
        const std::vector<quon::OutsideMask> masks = quon::outside_envelope(*envelope, features.data(), n);
        const auto names = feature_columns();
        notes.outside.emplace();
        for (quon::OutsideMask mask : masks) notes.outside->push_back(outside_columns(mask, names));
    }
    return notes;
}

py::object repeated_notes(const DesignNotes& notes, std::size_t n, std::size_t points, bool falls) {
    if (falls) {
        py::array_t<bool> a(static_cast<py::ssize_t>(n * points));
        bool* p = a.mutable_data();
        for (std::size_t i = 0; i < n * points; ++i) p[i] = notes.falls[i / points] != 0;
        return a;
    }
    py::list texts(n * points);
    for (std::size_t i = 0; i < n; ++i) {
        py::object text = notes.outside ? py::object(py::str((*notes.outside)[i])) : py::object(py::none());
        for (std::size_t k = 0; k < points; ++k) texts[i * points + k] = text;
    }
    return global("np").attr("array")(texts, "dtype"_a = "object");
}

py::tuple batch_tables(const py::object& designs, const py::list& t_model, std::size_t n,
                       const std::vector<double>& outputs, const quon::BatchForecast& f, const DesignNotes& notes) {
    const std::size_t points = t_model.size();
    py::object np = global("np");
    py::object data_frame = global("pd").attr("DataFrame");
    // One label per row: the design's index label (a MultiIndex's as tuples).
    const auto labels = [&] { return designs.attr("index").attr("to_flat_index")().attr("repeat")(points); };
    const auto months = [&] { return np.attr("tile")(np.attr("array")(t_model), n); };
    const auto column = [&](const std::vector<double>& v) { return array_of(v.data(), v.size()); };
    py::dict rates;
    rates["Design"] = labels();
    rates["Month"] = months();
    rates["P90"] = column(f.fits[quon::kP90Series].rate);
    rates["q"] = column(f.fits[quon::kModelSeries].rate);
    rates["P10"] = column(f.fits[quon::kP10Series].rate);
    py::dict cumulatives;
    cumulatives["Design"] = labels();
    cumulatives["Month"] = months();
    cumulatives["P90"] = column(f.fits[quon::kP90Series].cumulative);
    cumulatives["Q"] = column(f.fits[quon::kModelSeries].cumulative);
    cumulatives["P10"] = column(f.fits[quon::kP10Series].cumulative);
    cumulatives["Model Output"] = model_output_column(outputs, n, points - 1);
    cumulatives["Outside Envelope"] = repeated_notes(notes, n, points, false);
    cumulatives["Model Output Falls"] = repeated_notes(notes, n, points, true);
    return py::make_tuple(data_frame(rates), data_frame(cumulatives));
}

}  // namespace

py::object predict_batch(py::object self, py::object designs) {
    if (!py::isinstance(designs, global("pd").attr("DataFrame")))
        pymodule::raise(PyExc_TypeError, std::string(kCaller) + ": designs must be a pandas DataFrame, got " +
                                             Py_TYPE(designs.ptr())->tp_name);
    check_design_columns(designs);
    std::vector<std::vector<double>> columns;
    for (const char* name : kDesignColumns) columns.push_back(design_column(designs, global(name)));
    const std::size_t n = columns[0].size();
    std::vector<double> features(n * kFeatures);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < columns.size(); ++c) features[i * kFeatures + kDesignSlots[c]] = columns[c][i];
    check_wells(designs, features, n);
    DriverLock lock(self);
    check_process_succeeded(self, kCaller);

    const py::object geo = geological_model(self, kCaller);
    const long bins = bin_count(global("numBins"));
    if (bins < 1)
        pymodule::raise(PyExc_ValueError,
                        std::string(kCaller) + ": numBins must be at least 1, is " + std::to_string(bins));
    const py::list month_keys = items_of(global("nOutputMonthList"));
    std::vector<Month> months;
    std::vector<double> month_values;
    std::vector<quon::MonthBands> bands;
    for (const py::handle key : month_keys) {
        months.push_back(month_inputs(self, key, bins));
        month_values.push_back(number(key, "the month " + text_of(key)));
        bands.push_back(months.back().bands);
    }
    quon::ArpsFitSettings settings;
    settings.q_unit_factor = number(global("QUnitFactor"), "QUnitFactor");
    settings.b_play = number(global("bPlay"), "bPlay");
    py::list t_model;
    t_model.append(0);
    for (const py::handle key : month_keys) t_model.append(key);

    std::vector<double> outputs;
    quon::BatchForecast forecast;
    if (n > 0) {
        const std::vector<double> isips = estimate_isips(geo, columns[0], columns[1]);
        for (std::size_t i = 0; i < n; ++i) features[i * kFeatures + kIsipSlot] = isips[i];
        outputs = run_monthly_models(months, features, n);
        {
            py::gil_scoped_release release;
            forecast = quon::forecast_batch(month_values, outputs, n, bands, settings, worker_threads());
        }
        if (forecast.gap.found) {
            const Month& m = months[forecast.gap.month];
            const std::string label = label_text(designs.attr("index"), forecast.gap.design);
            raise_no_band(kCaller, m.key, m.missing[static_cast<std::size_t>(forecast.gap.bin)], forecast.gap.bin,
                          ", where the design at row label " + label + " falls");
        }
    }
    const DesignNotes notes = design_notes(self, features, outputs, n, month_keys.size());
    py::tuple tables = batch_tables(designs, t_model, n, outputs, forecast, notes);
    if (forecast.failed_fits > 0) {
        const std::string message =
            std::string(kCaller) + ": " + std::to_string(forecast.failed_fits) + " of " + std::to_string(3 * n) +
            " decline fits (in " + std::to_string(forecast.failed_designs) + " of " + std::to_string(n) +
            " designs) did not converge or had non-finite data; their fitted columns are NaN";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
    }
    return tables;
}

}  // namespace quon_py
