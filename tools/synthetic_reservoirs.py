"""Synthetic reservoir tables for the benchmarks and tests: every numeric
input column drawn uniformly over a range seen in the field, a share of its
cells left missing."""
import numpy as np
import pandas as pd

# (column, low, high) in the table's own units.
RANGES = [
    ("oil_density_max_val_deg_api", 8.0, 50.0), ("oil_viscosity_max_val_cp", 0.3, 5000.0),
    ("top_depth_feet", 500.0, 15000.0), ("net_thickn_max_val_feet", 5.0, 300.0),
    ("gross_thickn_max_val_feet", 10.0, 600.0), ("permeab_avg_md", 0.1, 5000.0),
    ("porosity_avg_pct", 3.0, 35.0), ("oil_recovery_pp_factor", 0.0, 60.0),
    ("pressure_psi", 200.0, 8000.0), ("temp_max_val_deg_c", 15.0, 150.0),
    ("water_saturation_max_val_pct", 5.0, 80.0), ("original_pressure_psi", 200.0, 9000.0),
    ("salinity_max_val_ppm", 1000.0, 250000.0),
]


def synthetic_reservoirs(n, seed=7, missing=0.1, index=None):
    """n reservoirs, three to a field name, reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    columns = {
        "resv_id": [f"R{k:07d}" for k in range(n)],
        "reservoir_unit_name": [f"Field {k % max(1, n // 3):06d}" for k in range(n)],
    }
    for name, lo, hi in RANGES:
        values = rng.uniform(lo, hi, n)
        values[rng.random(n) < missing] = np.nan
        columns[name] = values
    columns["gas_reserve_date_qual"] = [None] * n
    return pd.DataFrame(columns, index=index)
