"""Reference files with text cells or crossed limits. Each case asserts its
exact outcome."""
import pandas as pd
import pytest

import zelt
from reference_pipeline import edit_csv, nan_row, random_reservoirs


# ------------------------------------------------------------ reference files

def line_of(path, param, method):
    with open(path) as f:
        for number, line in enumerate(f, start=1):
            if line.startswith(f"{param},{method},"):
                return number
    raise AssertionError((param, method))


def test_text_cells_of_reference_files_name_file_line_and_column(ref_dir):
    path = ref_dir / "screening_table_2019.csv"
    edit_csv(path, {("Depth", "Misc. HC", "Upper"): "deep"})
    line = line_of(path, "Depth", "Misc. HC")
    with pytest.raises(ValueError) as info:
        zelt.uom_zelt(random_reservoirs(3, seed=79))
    assert str(info.value) == (f"screening_table_2019.csv, line {line} ('Depth', 'Misc. HC'): column "
                               f"'Upper' holds 'deep', text other than \"MMP\"; limits must be numbers")

    path = ref_dir / "screening_table.csv"
    edit_csv(path, {("Reservoir Dip", "SAGD", "Max"): "steep"})
    line = line_of(path, "Reservoir Dip", "SAGD")
    with pytest.raises(TypeError) as info:
        zelt.halvane_zelt(random_reservoirs(3, seed=79))
    assert str(info.value) == (f"screening_table.csv, line {line} ('Reservoir Dip', 'SAGD'): column "
                               f"'Max' holds 'steep', text other than \"MMP\"; limits must be numbers")


def test_blank_lines_do_not_shift_the_line_named(ref_dir):
    path = ref_dir / "screening_table_2019.csv"
    edit_csv(path, {("Porosity", "Microbial", "Min"): "ten"})
    text = path.read_text().splitlines()
    text.insert(3, "")
    text.insert(5, "   ")
    path.write_text("\n".join(text) + "\n")
    with pytest.raises(ValueError, match=rf"^screening_table_2019.csv, line "
                                         rf"{line_of(path, 'Porosity', 'Microbial')} "):
        zelt.uom_zelt(random_reservoirs(3, seed=79))


@pytest.mark.parametrize("file, edits, message", [
    ("screening_table.csv", {("Oil Gravity", "CSS", "Min"): "40", ("Oil Gravity", "CSS", "Max"): "20"},
     "screening_table.csv: the line ('Oil Gravity', 'CSS') has Min 40.0 above Max 20.0; "
     "limits must not cross"),
    ("screening_table_2019.csv", {("Porosity", "Combustion", "Lower"): "20"},
     "screening_table_2019.csv: the line ('Porosity', 'Combustion') has Lower 20.0 above Min 14.0; "
     "limits must not cross"),
    ("screening_table_2019.csv", {("Depth", "Microbial", "Upper"): "10"},
     "screening_table_2019.csv: the line ('Depth', 'Microbial') has Max 8000.0 above Upper 10.0; "
     "limits must not cross"),
], ids=["min-above-max", "lower-inside", "upper-inside"])
def test_crossed_limits_in_reference_files(ref_dir, file, edits, message):
    edit_csv(ref_dir / file, edits)
    pipeline = zelt.halvane_zelt if file == "screening_table.csv" else zelt.uom_zelt
    with pytest.raises(ValueError) as info:
        pipeline(pd.DataFrame([nan_row()]))
    assert str(info.value) == message
    # Even a table without rows gets no tables from such a file.
    empty = pd.DataFrame({c: pd.Series([], dtype=float) for c in nan_row()})
    with pytest.raises(ValueError, match="limits must not cross"):
        pipeline(empty)
