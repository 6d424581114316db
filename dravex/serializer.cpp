// CSerializer: tables to and from Excel workbooks, comma-separated text and
// pandas pickles, on pandas' own readers and writers. Paths are a folder and
// a file name joined with the platform's separator.
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

py::object pandas() { return global("pd"); }
py::object os_path() { return global("os").attr("path"); }

bool path_exists(const py::object& path) { return pymodule::truth(os_path().attr("exists")(path)); }

// Creates folder and its missing parents. A folder that someone else
// creates between the existence test and this call is not an error.
void make_folders(const py::object& folder) {
    global("os").attr("makedirs")(folder, "exist_ok"_a = true);
}

py::object output_excel_by_path(py::object, py::object file_path, py::object df) {
    py::object writer = pandas().attr("ExcelWriter")(file_path);
    // Closing writes the workbook and releases its file, also when the
    // table cannot be written.
    use_then_close(writer, [&](const py::object& w) {
        df.attr("to_excel")(w, "sheet_name"_a = "Sheet1", "engine"_a = "xlsxwriter");
        return py::none();
    });
    return py::none();
}

py::object output_csv_by_path(py::object, py::object file_path, py::object df) {
    df.attr("to_csv")(file_path, "index"_a = false);
    return py::none();
}

py::object output_csv_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                      py::object df) {
    py::object file_path = join_path(file_dir, file_name);
    // Sub-folders named inside file_name are created too.
    py::object folder = pymodule::item(file_path.attr("rsplit")(sep(), 1), py::int_(0));
    if (!path_exists(folder)) make_folders(folder);
    df.attr("to_csv")(file_path, "index"_a = false);
    return py::none();
}

py::object output_pickle_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                         py::object df) {
    if (!path_exists(file_dir)) make_folders(file_dir);
    py::object file_path = join_path(file_dir, file_name);
    df.attr("to_pickle")(file_path);
    return py::none();
}

py::object excel_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                 py::object sheet) {
    py::object file_path = join_path(file_dir, file_name);
    py::object workbook = pandas().attr("ExcelFile")(file_path);
    // The workbook is closed when the sheet has been read, also on failure.
    return use_then_close(workbook, [&](const py::object& w) { return w.attr("parse")(sheet); });
}

py::object csv_by_dir_and_name(py::object, py::object file_dir, py::object file_name) {
    return pandas().attr("read_csv")(join_path(file_dir, file_name));
}

py::object pickle_file(py::object, py::object file_dir, py::object file_name) {
    py::object file_path = join_path(file_dir, file_name);
    if (!pymodule::truth(os_path().attr("isfile")(file_path))) return py::none();
    return pandas().attr("read_pickle")(file_path);
}

}  // namespace

py::object make_serializer_class() {
    MethodList methods;
    methods.push_back(method("OutputDataFrameToExcelByPath", "self, filePath, df",
                        "Writes df to the workbook filePath, sheet \"Sheet1\", index first.",
                        &output_excel_by_path, py::arg("filePath"), py::arg("df")));
    methods.push_back(method("OutputDataFrameToCSVByPath", "self, filePath, df",
                        "Writes df as comma-separated text to filePath, without the index.",
                        &output_csv_by_path, py::arg("filePath"), py::arg("df")));
    methods.push_back(method("OutputDataFrameToCSVByDirAndName", "self, fileDir, fileName, df",
                        "Writes df as comma-separated text to fileDir/fileName, creating\n"
                        "the folders first (sub-folders inside fileName included).",
                        &output_csv_by_dir_and_name, py::arg("fileDir"), py::arg("fileName"),
                        py::arg("df")));
    methods.push_back(method("OutputDataFrameToPickleByDirAndName", "self, fileDir, fileName, df",
                        "Pickles df to fileDir/fileName, creating fileDir first.",
                        &output_pickle_by_dir_and_name, py::arg("fileDir"), py::arg("fileName"),
                        py::arg("df")));
    methods.push_back(method("GetDataFrameFromExcelFileByDirAndName", "self, fileDir, fileName, sheet",
                        "The table of worksheet sheet (name or 0-based position).",
                        &excel_by_dir_and_name, py::arg("fileDir"), py::arg("fileName"),
                        py::arg("sheet")));
    methods.push_back(method("GetDataFrameFromCSVFileByDirAndName", "self, fileDir, fileName",
                        "The table of a comma-separated file (header row, fresh index).",
                        &csv_by_dir_and_name, py::arg("fileDir"), py::arg("fileName")));
    methods.push_back(method("GetDataFrameFromPickleFile", "self, fileDir, fileName",
                        "The pickled table, or None when there is no such file.", &pickle_file,
                        py::arg("fileDir"), py::arg("fileName")));
    return make_class("CSerializer", methods);
}

}  // namespace quon_py
