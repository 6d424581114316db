"""Reference drivers for the two screening pipelines, built from the module's
own step functions called one by one in the pipelines' order, plus builders
of synthetic reservoir tables and reference files.

The pipelines `halvane_zelt` and `uom_zelt` do their work in one native pass;
these drivers give the tables that they must reproduce exactly.
"""
import copy
import math

import numpy as np
import pandas as pd

METHODS = [
    "Horz. Misc. CO2", "Horz. Misc. HC", "Horz. Misc. N2", "Vert. Misc. CO2",
    "Vert. Misc. HC", "Vert. Misc. N2", "Vert. Immisc. CO2", "Vert. Immisc. HC",
    "Vert. Immisc. N2", "Steam Flooding", "CSS", "SAGD", "Hot Water",
    "Polymer Flooding", "ASP",
]
PARAMS = [
    "Oil Gravity", "Oil Viscosity (in situ)", "Reservoir Depth", "Net Pay Thickness",
    "Average Vertical Permeability", "Average Horizontal Permeability",
    "Current Reservoir Pressure", "Reservoir Temperature", "Current Oil Saturation",
    "Reservoir Dip", "Formation Salinity",
]
LABELS = [
    "Oil Gravity (\u02daAPI)", "Oil Viscosity (in situ) (cp)", "Reservoir Depth (ft)",
    "Net Pay Thickness (ft)", "Average Vertical Permeability (mD)",
    "Average Horizontal Permeability (mD)", "Current Reservoir Pressure (psi)",
    "Reservoir Temperature (\u00b0F)", "Current Oil Saturation (%)",
    "Reservoir Dip (\u25e6)", "Formation Salinity (PPM)",
]
REQUIRED = [
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "top_depth_feet",
    "net_thickn_max_val_feet", "gross_thickn_max_val_feet", "permeab_avg_md",
    "porosity_avg_pct", "oil_recovery_pp_factor", "pressure_psi", "temp_max_val_deg_c",
    "water_saturation_max_val_pct", "original_pressure_psi", "salinity_max_val_ppm",
]
# Optional columns of both methods: a reservoir-condition viscosity (both)
# and measured MMPs (first method).
IN_SITU = "oil_viscosity_insitu_cp"
MEASURED_MMPS = ["mmp_co2_psi", "mmp_hc_psi", "mmp_n2_psi"]
FIELD_KEYS = ["Reservoir_ID"] + PARAMS
SCORE_COLS = ["Reservoir_ID", "Reservoir", "ZeltMethod", "Score"]
WINDOW_COLS = ["Reservoir_ID", "ScreeningParam", "ZeltMethod", "Category", "Value"]

METHODS_2019 = [
    "Steam Flooding", "Combustion", "Hot Water", "Misc. CO2", "Immisc. CO2", "Misc. HC",
    "Immisc. HC", "Misc. N2", "Immisc. N2", "Polymer Flooding", "Surfactant", "Microbial",
]
PARAMS_2019 = [
    "Porosity", "Permeability", "Depth", "Oil Gravity", "Oil Viscosity (in situ)",
    "Reservoir Temperature", "Current Oil Saturation", "Net Pay Thickness",
]
LABELS_2019 = [
    "Porosity (%)", "Permeability (mD)", "Depth (ft)", "Oil Gravity (\u02daAPI)",
    "Oil Viscosity (in situ) (cp)", "Reservoir Temperature (\u00b0F)",
    "Current Oil Saturation (%)", "Net Pay Thickness (ft)",
]
REQUIRED_2019 = [
    "porosity_avg_pct", "permeab_avg_md", "top_depth_feet", "oil_density_max_val_deg_api",
    "oil_viscosity_max_val_cp", "temp_max_val_deg_c", "water_saturation_max_val_pct",
    "gross_thickn_max_val_feet", "net_thickn_max_val_feet",
]
LIMIT_COLS_2019 = ["Lower", "Min", "Max", "Upper", "Weighting"]


# ------------------------------------------------------------ reference files

def read_table(path):
    return pd.read_csv(path, na_values=["MMP"], index_col=["ScreeningParam", "ZeltMethod"])


def nested_table(table_df):
    return {p: {m: {c: table_df.loc[(p, m), c] for c in ("Min", "Max", "Stopper")}
                for m in METHODS} for p in PARAMS}


def read_table_2019(path):
    df = read_table(path)
    for c in LIMIT_COLS_2019:
        df[c] = df[c].astype("float")
    return df


def nested_table_2019(table_df):
    return {p: {m: {c: table_df.loc[(p, m)][c] for c in LIMIT_COLS_2019}
                for m in METHODS_2019} for p in PARAMS_2019}


def edit_csv(path, edits, drop=()):
    """Rewrite a reference file: edits maps (param, method, column) to the new
    cell text; drop lists (param, method) lines to remove."""
    df = pd.read_csv(path, dtype=str, keep_default_na=False)
    for (p, m, c), text in edits.items():
        hit = (df["ScreeningParam"] == p) & (df["ZeltMethod"] == m)
        assert hit.sum() == 1, (p, m)
        df.loc[hit, c] = text
    for p, m in drop:
        df = df[~((df["ScreeningParam"] == p) & (df["ZeltMethod"] == m))]
    df.to_csv(path, index=False)


# ------------------------------------------------------------ the first method

def _window_mmp_column(method):
    if "CO2" in method:
        return "mmp_co2"
    if "HC" in method:
        return "mmp_hc"
    return "mmp_n2"


TEMPERATURES = ["temp_max_val_deg_c", "surface_temp_deg_c"]


def refuse_non_finite(edin_df, columns):
    """The pipelines' refusal, before the table changes: +-inf in a numeric
    column read, or a temperature that overflows in the conversion to degF."""
    lowered = {c.lower(): c for c in edin_df.columns}
    for column in columns + ["surface_temp_deg_c"]:
        if column not in lowered:
            continue
        try:
            values = edin_df[lowered[column]].astype(float)
        except (TypeError, ValueError):
            continue   # the conversion's own error comes first
        with np.errstate(over="ignore"):
            if np.isinf(values).any() or (column in TEMPERATURES and np.isinf(values * 1.8 + 32.0).any()):
                raise ValueError(f"column {column!r} holds a value that is not finite")


def refuse_infinite_field_data(field_data):
    """A correlation that overflows (a field value of +-inf) is refused."""
    for record in field_data:
        if any(isinstance(v, float) and math.isinf(v) for v in record.values()):
            raise ValueError("a field value is not finite")


def convert_present(edin_df, columns):
    """The pipelines' in-place changes: names in lower case, the numeric
    columns they read converted to float where the table has them."""
    edin_df.columns = [c.lower() for c in edin_df.columns]
    present = [c for c in columns if c in edin_df.columns]
    edin_df[present] = edin_df[present].astype(float)


def first_method_steps(zelt, edin_df, fresh_limits=True):
    """The step functions of the first method over a converted table: field
    data, MMP records, the limits each reservoir was measured against,
    differences, parameter scores and method-score records."""
    nested = nested_table(read_table(zelt.get_filepath("screening_table.csv")))
    field_data = [zelt.get_field_data(idx, row) for idx, row in edin_df.iterrows()]
    mmps = [zelt.get_mmp(idx, row, field_data[idx]) for idx, row in edin_df.iterrows()]
    diffs, limits = [], []
    for idx, _ in edin_df.iterrows():
        table = copy.deepcopy(nested) if fresh_limits else nested
        diffs.append(zelt.get_diff(idx, field_data[idx], mmps, table, METHODS, PARAMS))
        limits.append(copy.deepcopy(table))
    bounds = zelt.get_min_max(diffs, PARAMS)
    param_scores = zelt.get_screening_param_score(diffs, bounds, METHODS, PARAMS)
    scores = zelt.get_zelt_score(edin_df, param_scores, nested, METHODS, PARAMS)
    return field_data, mmps, limits, param_scores, scores


def halvane_reference(zelt, edin_df, fresh_limits=True):
    """The first pipeline driven through the step functions.

    fresh_limits=True gives each get_diff call its own deep copy of the table
    built from the file (limits never carry over from one reservoir to the
    next, as halvane_zelt does); False shares one table, so that limits
    written for one reservoir stay in force for the next, as get_diff does
    on its own.
    """
    refuse_non_finite(edin_df, REQUIRED + [IN_SITU] + MEASURED_MMPS)
    convert_present(edin_df, REQUIRED + [IN_SITU] + MEASURED_MMPS)
    original = read_table(zelt.get_filepath("screening_table.csv"))
    screening_table_df = zelt.fix_screening_table_for_spotfire(original)
    if edin_df.shape[0] == 0 or edin_df.shape[1] == 0:
        return (pd.DataFrame(columns=SCORE_COLS), screening_table_df,
                pd.DataFrame(columns=FIELD_KEYS), pd.DataFrame(columns=WINDOW_COLS))

    refuse_infinite_field_data(zelt.get_field_data(idx, row) for idx, row in edin_df.iterrows())
    field_data, mmps, _, _, scores = first_method_steps(zelt, edin_df, fresh_limits)

    score_df = pd.melt(pd.DataFrame(scores, columns=["Reservoir_ID", "Reservoir"] + METHODS),
                       id_vars=["Reservoir_ID", "Reservoir"], var_name="ZeltMethod",
                       value_name="Score")
    score_df.sort_values(by=["Reservoir", "ZeltMethod"], inplace=True)
    field_df = pd.DataFrame(field_data, columns=FIELD_KEYS)
    mmp_df = pd.DataFrame(mmps, columns=["Reservoir_ID", "mmp_co2", "mmp_hc", "mmp_n2"])
    mmp_df = mmp_df.set_index("Reservoir_ID")

    window = []
    param = "Current Reservoir Pressure"
    for resv_id in edin_df["resv_id"]:
        for method in METHODS:
            lo = original.loc[(param, method), "Min"]
            hi = original.loc[(param, method), "Max"]
            if math.isnan(lo):
                lo = mmp_df.loc[resv_id, _window_mmp_column(method)]
            if math.isnan(hi):
                hi = mmp_df.loc[resv_id, _window_mmp_column(method)]
            window.append({"Reservoir_ID": resv_id, "ScreeningParam": param,
                           "ZeltMethod": method, "Min": lo, "Max": hi})
    window_df = pd.DataFrame(window)
    window_df["Max"] = window_df["Max"] - window_df["Min"]
    window_df = pd.melt(window_df, id_vars=["Reservoir_ID", "ScreeningParam", "ZeltMethod"],
                        var_name="Category", value_name="Value")
    units = dict(zip(PARAMS, LABELS))
    screening_table_df["ScreeningParam"] = screening_table_df["ScreeningParam"].replace(units)
    window_df["ScreeningParam"] = window_df["ScreeningParam"].replace(units)
    return score_df, screening_table_df, field_df, window_df


# ------------------------------------------------------------ the 2019 method

def uom_reference(zelt, edin_df):
    refuse_non_finite(edin_df, REQUIRED_2019 + [IN_SITU])
    convert_present(edin_df, REQUIRED_2019 + [IN_SITU])
    table_df = read_table_2019(zelt.get_filepath("screening_table_2019.csv"))
    nested = nested_table_2019(table_df)
    screening_df = zelt.fix_screening_table_2019_for_spotfire(table_df)
    if edin_df.shape[0] == 0 or edin_df.shape[1] == 0:
        return (pd.DataFrame(columns=SCORE_COLS), screening_df,
                pd.DataFrame(columns=["ZeltMethod"] + PARAMS_2019),
                pd.DataFrame(columns=["Reservoir_ID"] + PARAMS_2019))
    field_data = [zelt.get_field_data_2019(idx, row) for idx, row in edin_df.iterrows()]
    scores, p_values = zelt.get_zelt_score_2019(edin_df, field_data, nested,
                                                METHODS_2019, PARAMS_2019)
    score_df = pd.melt(pd.DataFrame(scores, columns=["Reservoir_ID", "Reservoir"] + METHODS_2019),
                       id_vars=["Reservoir_ID", "Reservoir"], var_name="ZeltMethod",
                       value_name="Score")
    score_df.sort_values(by=["Reservoir", "ZeltMethod"], inplace=True)
    p_df = pd.DataFrame(p_values, columns=["ZeltMethod"] + PARAMS_2019)
    field_df = pd.DataFrame(field_data, columns=["Reservoir_ID"] + PARAMS_2019)
    screening_df["ScreeningParam"] = screening_df["ScreeningParam"].replace(dict(zip(PARAMS_2019, LABELS_2019)))
    return score_df, screening_df, p_df, field_df


# ------------------------------------------------------------ synthetic inputs

NAMES = ["Alpha", "alpha", "Bravo Unit", "Charlie", "Delta-2", "Echo", "Ærø Sand",
         "Zulu", "foxtrot", "Golf 10", "Golf 9", "Hotel", "İzmir", "Juliet"]


def random_reservoirs(n, seed, nan_frac=0.2, id_kind="str", name_nan_frac=0.05, optional=False):
    """n reservoirs with every input column of both methods, NaN-sprinkled
    (nan_frac of the cells of every numeric column, 1.0 for all NaN), unique
    identifiers and reservoir names with many duplicates. optional=True adds
    the in-situ viscosity and measured MMP columns, about half of them given."""
    rng = np.random.default_rng(seed)
    cols = {
        "oil_density_max_val_deg_api": rng.uniform(8.0, 55.0, n),
        "oil_viscosity_max_val_cp": 10.0 ** rng.uniform(-1.0, 5.5, n),
        "top_depth_feet": rng.uniform(200.0, 16000.0, n),
        "net_thickn_max_val_feet": rng.uniform(2.0, 400.0, n),
        "gross_thickn_max_val_feet": rng.uniform(10.0, 2000.0, n),
        "permeab_avg_md": 10.0 ** rng.uniform(-1.0, 4.0, n),
        "porosity_avg_pct": rng.uniform(2.0, 40.0, n),
        "oil_recovery_pp_factor": rng.uniform(0.0, 60.0, n),
        "pressure_psi": rng.uniform(100.0, 9000.0, n),
        "temp_max_val_deg_c": rng.uniform(10.0, 180.0, n),
        "water_saturation_max_val_pct": rng.uniform(5.0, 90.0, n),
        "original_pressure_psi": rng.uniform(100.0, 9000.0, n),
        "salinity_max_val_ppm": 10.0 ** rng.uniform(2.0, 5.5, n),
    }
    for values in cols.values():
        values[rng.random(n) < nan_frac] = np.nan
    order = rng.permutation(n)
    if id_kind == "str":
        ids = [f"R{k:05d}" for k in order]
    else:
        ids = [int(k) * 7 + 1000 for k in order]
    names = [NAMES[k] for k in rng.integers(0, len(NAMES), n)]
    names = [np.nan if u < name_nan_frac else s for s, u in zip(names, rng.random(n))]
    df = pd.DataFrame({"resv_id": ids, "reservoir_unit_name": names, **cols})
    df["gas_reserve_date_qual"] = rng.choice(["A", "B", ""], n)
    df["basin"] = "ignored"
    if optional:
        extra = {IN_SITU: 10.0 ** rng.uniform(-1.0, 5.0, n), "mmp_co2_psi": rng.uniform(1000.0, 5000.0, n),
                 "mmp_hc_psi": rng.uniform(2000.0, 9000.0, n), "mmp_n2_psi": rng.uniform(4000.0, 15000.0, n)}
        for name, values in extra.items():
            values[rng.random(n) < 0.5] = np.nan
            df[name] = values
    return df


def nan_row(**values):
    """One input row (a plain dict) of both methods with every numeric column NaN."""
    row = {"resv_id": "R1", "reservoir_unit_name": "Unit", "gas_reserve_date_qual": "x"}
    row.update({c: math.nan for c in REQUIRED})
    row.update(values)
    return row
