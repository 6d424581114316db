// The forecasting module's vocabulary and constants, bound in the order of
// the module body: imports; database table names; feature flags; the column
// set of the database; the column names; the names derived from the rate
// columns; file and directory names; the month grid; numeric constants; the
// model-input column lists. Each group is a table of data; the code below
// only walks the tables.
#include <string>
#include <vector>

#include "history_match.hpp"
#include "imports.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

struct Text {
    const char* name;
    const char* value;
};

struct Flag {
    const char* name;
    bool value;
};

// A column name in the two databases' column sets; nullptr: no such column
// (the name is bound to None).
struct Column {
    const char* name;
    const char* pe;
    const char* edm;
};

// A dictionary keyed by the rate column names: each value appends `suffix`
// to the rate name, or to the rate's cumulative name (rate + " cumulative").
enum class Stem { rate, cumulative };
enum class Form {
    text,           // stem + suffix
    by_prob,        // {"P10": stem + suffix + " P10", "P90": ... + " P90"}
    with_neigh_ext  // stem + suffix + the value of strNeighExt
};
struct RateName {
    const char* name;
    Stem stem;
    const char* suffix;
    Form form;
};

// A dictionary keyed by the forecast months: prefix + the month in decimal.
struct MonthName {
    const char* name;
    const char* prefix;
};

struct Number {
    const char* name;
    double value;
};

struct Count {
    const char* name;
    long value;
};

// A list of the values of other module names, in order.
struct NameList {
    const char* name;
    std::vector<const char*> members;
};

const char* const kImports[][3] = {
    // name, module, attribute (nullptr: the module itself)
    {"os", "os", nullptr},
    {"pd", "pandas", nullptr},
    {"pickle", "pickle", nullptr},
    {"np", "numpy", nullptr},
    {"curve_fit", "scipy.optimize", "curve_fit"},
};

// Database table names by country: USA, Canada.
const char* const kTables[][3] = {
    {"wellHeaderTable", "[USQuarvel_2-latest].[PE1100_USA_Primary_WellHeaders]",
     "[CanQuarvel_2-latest].[PE2100_CAN_Primary_WellHeaders]"},
    {"prodHistoricalTable", "[USQuarvel_2-latest].[PE1120_USA_Primary_ProdHistorical]",
     "[CanQuarvel_2-latest].[PE2120_CAN_Primary_ProdHistorical]"},
};

const Flag kFlags[] = {
    {"bModelInputFilesExist", true},  {"bGeoModelExist", true},
    {"bModelExist", true},            {"bRatioCumulativeExist", false},
    {"bUseCumulativeFitOutput", false}, {"bNeighborDataFrameExist", false},
    {"bModelPerProb", true},
};

// The default database has no well identifier, the other no ISIP and none
// of the log columns.
const Column kColumns[] = {
    {"strWellID", "wellid", nullptr},
    {"strProdDate", "proddate", "production date"},
    {"strLiquidsRate", "liquids", "liquid production"},
    {"strGasRate", "gas", "gas production"},
    {"strWaterRate", "water", "water production"},
    {"strAPI", "api - 14/uwi unformatted", "api_blended"},
    {"strFieldName", "field", "field name blended"},
    {"strLatitudeSH", "latitude sh", "latitude surface hole blended"},
    {"strLongitudeSH", "longitude sh", "longitude surface hole blended"},
    {"strLatitudeBH", "latitude bh", "latitude bottom hole blended"},
    {"strLongitudeBH", "longitude bh", "longitude bottom hole blended"},
    {"strAzimuth", "azimuth", "azimuth blended"},
    {"strPlayDesignation", "play designation", "formation blended"},
    {"strTVD", "footage - tvd", "tvd (ft) blended"},
    {"strDateVintage", "date - vintage", "date on production"},
    {"strSpudDate", "date - spud", "spud date blended"},
    {"strCompDate", "date - completion", "completion date blended"},
    {"strOperator", "operator", "operator blended"},
    {"strToeDelta", "well path - toe delta", "well path toe delta blended"},
    {"strTortRatio", "well path - tortuosity ratio", "well path tortuosity ratio blended"},
    {"strWellLen", "footage - lateral length", "completed horizontal length blended"},
    {"strWellOrientation", "well orientation", nullptr},
    {"strLateralSpacing", "spacing - neighbor current - horiz distance in ft", "lateral spacing blended"},
    {"strISIP", nullptr, "isip (psia) median blended"},
    {"strBreakDownPres", nullptr, "breakdown pressure (psia) median blended"},
    {"strPumpRate", nullptr, "pump rate (bpm) median blended"},
    {"strFracStages", "frac stages", "total number of stages blended"},
    {"strFracStagesPerLen", "frac stages per ft", nullptr},
    {"strFluidVolume", "fluid volume", "fluid volume blended"},
    {"strFluidVolumePerLen", "fluid per ft", "fluid loading blended"},
    {"strPropMeshSize", "proppant mesh size", "proppant mesh size blended"},
    {"strPropType", "proppant type", "proppant type blended"},
    {"strProdType", "prod type", "production type"},
    {"strPropPerLen", "proppant per ft", "sand loading blended"},
    {"strPropVol", "proppant volume", "proppant volume blended"},
    {"strMaxPorpDev", nullptr, "maximum porpoise deviation"},
    {"strMeanPorpDev", nullptr, "mean porpoise deviation"},
    {"strPorpCount", nullptr, "porpoise count"},
    {"strShaleFoot", nullptr, "shale footage"},
    {"strShalePer", nullptr, "shale percentage"},
    {"strai", nullptr, "ai"},
    {"strDensity", nullptr, "density"},
    {"strhpv", nullptr, "hpv"},
    {"strkm", nullptr, "km"},
    {"strphi", nullptr, "phi"},
    {"strPoissRatio", nullptr, "poisson ratio"},
    {"strSw", nullptr, "sw"},
    {"strtoc", nullptr, "toc"},
    {"strvcl", nullptr, "vcl"},
    {"strvp", nullptr, "vp"},
    {"strvpvs", nullptr, "vpvs"},
    {"strvs", nullptr, "vs"},
    {"strYoungMod", nullptr, "youngs modulus"},
    {"strFracSpacing", nullptr, "average stage length blended"},
};

const Text kCommonColumns[] = {
    {"strUTMEasting", "UTM easting ft"},
    {"strUTMNorthing", "UTM northing ft"},
    {"strLatitudeMid", "latitude mid"},
    {"strLongitudeMid", "longitude mid"},
    {"strNeighExt", " neigh"},  // a suffix
    {"strNeighDist", "neigh dist"},
    {"strNearestNeighDist", "nearest neighbour dist ft"},
    {"playDesignation", "Marcellus Shale"},
    {"playDesignationDir", "Marcellus Shale"},  // the play's data directory
};

// strRate (the gas rate column) is bound between the play and these.
const Text kRateTexts[] = {
    {"strDataType", "data type"},
    {"strMaxRate", "maximum rate"},
    {"strNormMonth", "norm month"},
    {"wellHeadersFileName", "WellHeaders.csv"},
    {"prodHistoricalFileName", "ProdHistorical.csv"},
    {"wellHeadersPickle", "WellHeaders.pickle"},
    {"prodHistoricalPickle", "ProdHistorical.pickle"},
};

const char* const kRateColumns[] = {"strGasRate", "strLiquidsRate", "strWaterRate"};

const RateName kRateNames[] = {
    {"strCumulative", Stem::rate, " cumulative", Form::text},
    {"strRateFit", Stem::rate, " fit", Form::text},
    {"strCumulativeFit", Stem::cumulative, " fit", Form::text},
    {"strCumulativeReal", Stem::cumulative, " real", Form::text},
    {"strCumulativeModel", Stem::cumulative, " model", Form::text},
    {"strCumulativeModelProb", Stem::cumulative, " model", Form::by_prob},
    {"strRateModel", Stem::rate, " model", Form::text},
    {"strRateModelProb", Stem::rate, " model", Form::by_prob},
    {"strQStream", Stem::cumulative, " on stream", Form::with_neigh_ext},
    {"strQ1", Stem::cumulative, " 12", Form::text},
    {"strNormQ1nf", Stem::cumulative, " 12 norm by nf", Form::text},
};

// limCumulative: the limit of each rate column, in this order.
const char* const kLimitColumns[] = {"strLiquidsRate", "strGasRate", "strWaterRate"};
constexpr double kCumulativeLimit = 0.01;

const Text kFileNames[] = {
    {"wellHeadersModelFileName", "WellHeadersModel.csv"},
    {"prodHistoricalModelFileName", "ProdHistoricalModel.csv"},
    {"wellHeadersModelPickle", "WellHeadersModel.pickle"},
    {"prodHistoricalModelPickle", "ProdHistoricalModel.pickle"},
    {"neighborFileName", "Neighbors.csv"},
    {"neighborPickle", "Neighbors.pickle"},
    {"modelDir", "Model"},
    {"modelFile", "model.pickle"},
    {"labelBinarizerFile", "lb.pickle"},
    {"trainTestFile", "TrainTest.csv"},
    {"ratioCumulativeFile", "ratioCumulative.csv"},
    {"modelPredictTrainFile", "modelPredictTrain.csv"},
    {"modelPredictTestFile", "modelPredictTest.csv"},
    {"geoModelFileDir", "GeoModel"},
};

// Forecast months 6, 8, ..., 60: one trained model each.
constexpr int kFirstMonth = 6;
constexpr int kMonthStep = 2;
constexpr int kMonthCount = 28;

const MonthName kMonthNames[] = {
    {"strNumCumulativeMonth", "cumulative "},
    {"strNumCumulativeMonthFit", "cumulative fit "},
    {"strRatioNumCumulativeMonth", "ratio cumulative "},
    {"modelSubDirCumulativeOutput", ""},  // the month's model sub-directory
};

const Number kNumbers[] = {
    {"normTimeCoeff", quon::kNormTimeCoeff},  // days per month
    {"QUnitFactor", quon::kQUnitFactor},      // (volume/day) x months -> thousands
    {"bPlay", quon::kBPlay},                  // centre of the fitted b's range
};

const Count kCounts[] = {
    {"distNeighLimit", 10000},
    {"minDiffDaysNeigh", 365},
    {"numBins", 1},  // bins of a month's model output
    {"numGroupProb", 1},
};

// The monthly model's input features are xNumColList, in this order.
const NameList kNameLists[] = {
    {"sliderLabels", {"strFracStages", "strWellLen", "strFracSpacing", "strFluidVolumePerLen"}},
    {"xCatColList", {}},
    {"xDateColList", {}},
    {"xNumColList",
     {"strLatitudeMid", "strLongitudeMid", "strFracStages", "strISIP", "strWellLen",
      "strFracSpacing", "strFluidVolumePerLen"}},
    {"xGeoModelList", {"strLatitudeMid", "strLongitudeMid"}},
    {"yGeoModelList", {"strISIP"}},
};

template <typename Table>
void bind_texts(py::module_& m, const Table& table) {
    for (const Text& t : table) m.attr(t.name) = t.value;
}

py::object text_or_none(const char* value) {
    return value != nullptr ? py::object(py::str(value)) : py::object(py::none());
}

// The dictionary `r` describes, keyed by the values of the rate columns.
py::dict rate_dictionary(py::module_& m, const RateName& r, const py::list& rates) {
    const py::object neigh_ext = m.attr("strNeighExt");
    py::dict out;
    for (const py::handle rate : rates) {
        py::object stem = py::reinterpret_borrow<py::object>(rate);
        if (r.stem == Stem::cumulative) stem = stem + py::str(" cumulative");
        const py::object value = stem + py::str(r.suffix);
        switch (r.form) {
            case Form::text:
                out[rate] = value;
                break;
            case Form::with_neigh_ext:
                out[rate] = value + neigh_ext;
                break;
            case Form::by_prob: {
                py::dict probs;
                for (const char* prob : {"P10", "P90"}) probs[prob] = value + py::str(" ") + py::str(prob);
                out[rate] = probs;
                break;
            }
        }
    }
    return out;
}

void bind_rate_names(py::module_& m) {
    m.attr("strRate") = m.attr("strGasRate");
    bind_texts(m, kRateTexts);
    py::list rates;
    for (const char* name : kRateColumns) rates.append(m.attr(name));
    m.attr("strRateList") = rates;
    for (const RateName& r : kRateNames) m.attr(r.name) = rate_dictionary(m, r, rates);
    py::dict limits;
    for (const char* name : kLimitColumns) limits[m.attr(name)] = kCumulativeLimit;
    m.attr("limCumulative") = limits;
}

void bind_months(py::module_& m) {
    py::list months;
    for (int i = 0; i < kMonthCount; ++i) months.append(kFirstMonth + kMonthStep * i);
    m.attr("nOutputMonthList") = months;
    for (const MonthName& names : kMonthNames) {
        py::dict by_month;
        for (int i = 0; i < kMonthCount; ++i) {
            const int month = kFirstMonth + kMonthStep * i;
            by_month[py::int_(month)] = std::string(names.prefix) + std::to_string(month);
        }
        m.attr(names.name) = by_month;
    }
}

}  // namespace

void bind_vocabulary(py::module_ m) {
    for (const auto& [name, module, attribute] : kImports) {
        py::object imported = pymodule::import_dependency(module, "quon");
        m.attr(name) = attribute != nullptr ? imported.attr(attribute) : imported;
    }
    for (const auto& [name, usa, canada] : kTables) {
        py::dict by_country;
        by_country["USA"] = usa;
        by_country["Canada"] = canada;
        m.attr(name) = by_country;
    }
    for (const Flag& f : kFlags) m.attr(f.name) = f.value;

    // The column set is chosen once, here: "PE" or, for any other name, "EDM".
    m.attr("dataBaseName") = "EDM";
    const bool pe = pymodule::equals(m.attr("dataBaseName"), "PE");
    for (const Column& c : kColumns) m.attr(c.name) = text_or_none(pe ? c.pe : c.edm);
    bind_texts(m, kCommonColumns);

    bind_rate_names(m);
    bind_texts(m, kFileNames);
    bind_months(m);
    for (const Number& n : kNumbers) m.attr(n.name) = n.value;
    for (const Count& c : kCounts) m.attr(c.name) = c.value;
    for (const NameList& list : kNameLists) {
        py::list values;
        for (const char* member : list.members) values.append(m.attr(member));
        m.attr(list.name) = values;
    }
}

}  // namespace quon_py
