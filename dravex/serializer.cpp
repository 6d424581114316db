// CSerializer: tables to and from Excel workbooks, comma-separated text and
// pandas pickles, on pandas' own readers and writers. Paths are text or
// path-like objects; a folder and a file name are joined with the
// platform's separator. Reading a pickle runs code it names: pickles must
// come from a trusted source.
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

py::object pandas() { return global("pd"); }
py::object os_path() { return global("os").attr("path"); }

bool path_exists(const py::object& path) { return pymodule::truth(os_path().attr("exists")(path)); }

// A path argument as text: a str, or a path-like object (pathlib.Path)
// given as its text; TypeError naming the argument otherwise.
py::object path_text(const char* method, const char* argument, const py::object& value) {
    if (py::isinstance<py::str>(value)) return value;
    const std::string where = std::string("CSerializer.") + method + ": " + argument;
    py::object text;
    try {
        text = global("os").attr("fspath")(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        pymodule::raise(PyExc_TypeError, where + " must be a path (text or os.PathLike), got " + shown_value(value));
    }
    if (!py::isinstance<py::str>(text))
        pymodule::raise(PyExc_TypeError, where + " must be a path as text, got " + shown_value(text));
    return text;
}

// A folder and a file name, each a path, joined.
py::object joined(const char* method, const py::object& file_dir, const py::object& file_name) {
    return join_path(path_text(method, "fileDir", file_dir), path_text(method, "fileName", file_name));
}

// A file to write that is an existing folder is named as one.
void not_a_folder(const char* method, const py::object& file_path) {
    if (pymodule::truth(os_path().attr("isdir")(file_path)))
        pymodule::raise(PyExc_IsADirectoryError, std::string("CSerializer.") + method + ": \"" + text_of(file_path) +
                                                     "\" is a folder, not a file to write");
}

// Creates folder and its missing parents. A folder that someone else
// creates between the existence test and this call is not an error.
void make_folders(const py::object& folder) {
    global("os").attr("makedirs")(folder, "exist_ok"_a = true);
}

py::object output_excel_by_path(py::object, py::object file_path, py::object df) {
    static const char* const kMethod = "OutputDataFrameToExcelByPath";
    file_path = path_text(kMethod, "filePath", file_path);
    not_a_folder(kMethod, file_path);
    py::object writer;
    try {
        writer = pandas().attr("ExcelWriter")(file_path);
    } catch (py::error_already_set& e) {
        // pandas chooses the workbook's format by the file's extension.
        if (!e.matches(PyExc_ValueError)) throw;
        pymodule::raise(PyExc_ValueError, std::string("CSerializer.") + kMethod + ": cannot write a workbook to \"" +
                                              text_of(file_path) + "\" (" + text_of(e.value()) +
                                              "); name a file ending in .xlsx");
    }
    // Closing writes the workbook and releases its file, also when the
    // table cannot be written.
    use_then_close(writer, [&](const py::object& w) {
        df.attr("to_excel")(w, "sheet_name"_a = "Sheet1", "engine"_a = "xlsxwriter");
        return py::none();
    });
    return py::none();
}

py::object output_csv_by_path(py::object, py::object file_path, py::object df) {
    file_path = path_text("OutputDataFrameToCSVByPath", "filePath", file_path);
    not_a_folder("OutputDataFrameToCSVByPath", file_path);
    df.attr("to_csv")(file_path, "index"_a = false);
    return py::none();
}

py::object output_csv_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                      py::object df) {
    py::object file_path = joined("OutputDataFrameToCSVByDirAndName", file_dir, file_name);
    not_a_folder("OutputDataFrameToCSVByDirAndName", file_path);
    // Sub-folders named inside file_name are created too.
    py::object folder = pymodule::item(file_path.attr("rsplit")(sep(), 1), py::int_(0));
    if (!path_exists(folder)) make_folders(folder);
    df.attr("to_csv")(file_path, "index"_a = false);
    return py::none();
}

py::object output_pickle_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                         py::object df) {
    py::object file_path = joined("OutputDataFrameToPickleByDirAndName", file_dir, file_name);
    file_dir = path_text("OutputDataFrameToPickleByDirAndName", "fileDir", file_dir);
    if (!path_exists(file_dir)) make_folders(file_dir);
    not_a_folder("OutputDataFrameToPickleByDirAndName", file_path);
    df.attr("to_pickle")(file_path);
    return py::none();
}

py::object excel_by_dir_and_name(py::object, py::object file_dir, py::object file_name,
                                 py::object sheet) {
    py::object file_path = joined("GetDataFrameFromExcelFileByDirAndName", file_dir, file_name);
    py::object workbook = pandas().attr("ExcelFile")(file_path);
    // The workbook is closed when the sheet has been read, also on failure.
    return use_then_close(workbook, [&](const py::object& w) { return w.attr("parse")(sheet); });
}

py::object csv_by_dir_and_name(py::object, py::object file_dir, py::object file_name) {
    return pandas().attr("read_csv")(joined("GetDataFrameFromCSVFileByDirAndName", file_dir, file_name));
}

py::object pickle_file(py::object, py::object file_dir, py::object file_name) {
    py::object file_path = joined("GetDataFrameFromPickleFile", file_dir, file_name);
    if (!pymodule::truth(os_path().attr("isfile")(file_path))) return py::none();
    // Unpickling runs code the file names: read only files of a trusted source.
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
