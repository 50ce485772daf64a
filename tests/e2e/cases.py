"""Cases whose outcome is the same on every platform.

The Linux and the Windows end-to-end tests both run these tables and add
their own platform's cases to them.
"""


def nested_name(length):
    """A relative path of exactly length characters, in folders of 200."""
    parts, left = [], length
    while left > 201:
        parts.append("d" * 200)
        left -= 201
    parts.append("f" * left)
    return "/".join(parts)


# Longer than any name was ever cut to, and a real file: it must open whole.
LONG_NAME = nested_name(1500)

# label, arguments, files made first, name in the start line, held
ARGUMENT_CASES = [
    ("existing", ["file.txt"], ["file.txt"], "file.txt", True),
    ("first_of_several", ["a", "b", "c"], ["a"], "a", True),
    ("later_ones_ignored", ["missing", "present"], ["present"], "missing", False),
    ("percent_signs", ["100%s %d %n %% x"], ["100%s %d %n %% x"], "100%s %d %n %% x", True),
    ("empty", [""], [], "", False),
    ("long_name_whole", [LONG_NAME], [LONG_NAME], LONG_NAME, True),
]

# label, standard input, name it yields, file of that name exists. Standard
# input "closed" is none at all, "folder" one that fails at the first read,
# ("left_open", bytes) a pipe that gets the bytes and is never closed,
# ("non_blocking_later", bytes) one that gets them only after a while and is
# handed over non-blocking, ("file", bytes) a file that holds them, and a path
# a device to read from.
PROMPT_CASES = [
    ("crlf", b"name.txt\r\n", "name.txt", True),
    ("cr_inside", b"ab\rcd\n", "ab", True),
    ("end_of_input_after_text", b"tail.txt", "tail.txt", True),
    ("only_first_line", b"one\ntwo\n", "one", True),
    ("empty_line", b"\n", "", False),
    ("end_of_input_at_once", b"", "", False),
    ("long_line_whole", LONG_NAME.encode() + b"\n", LONG_NAME, True),
    ("too_long_for_the_system", b"x" * 2000 + b"\n", "x" * 2000, False),
    ("closed", "closed", "", False),
    ("read_error", "folder", "", False),
    # A line that ends with LF or CR LF is used at once: nothing after it is
    # awaited.
    ("crlf_then_pipe_left_open", ("left_open", b"f\r\n"), "f", True),
    ("lf_then_pipe_left_open", ("left_open", b"fg\n"), "fg", True),
    ("endless_zeros", "/dev/zero", "", False),
    ("from_file", ("file", b"name.txt\r\nnext.txt\r\n"), "name.txt", True),
]

# label, name, typed, files made first, files made later, name in the start
# line, name in the opened line (None where it is the name shown). A name
# that ends in / is a folder. No file matches at the start: the start line
# shows the pattern, and the file then held is named before the done line.
PATTERN_CASES = [
    ("no_match_then_a_match", "*.log", False, ["other.txt"], ["new.log"], "*.log", "new.log"),
    ("matching_folder_passed_over", "zz*.tmp", False, ["zzdir.tmp/"], ["zzfile.tmp"], "zz*.tmp",
     "zzfile.tmp"),
    ("folder_appears_later", "sub/*.txt", False, [], ["sub/x.txt"], "sub/*.txt", "sub/x.txt"),
    ("typed_first_in_name_order", "s*.txt", True, ["s2.txt", "s10.txt", "s3.txt", "t1.txt"], [],
     "s*.txt", "s10.txt"),
    ("literal_name_two_lines", "f[1].txt", False, ["f[1].txt", "f1.txt"], [], "f[1].txt", None),
    ("typed_waits_for_a_match", "?.dat", True, ["10.dat"], ["7.dat"], "?.dat", "7.dat"),
]
