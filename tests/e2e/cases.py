"""Cases whose outcome is the same on every platform.

The Linux and the Windows end-to-end tests both run these tables and add
their own platform's cases to them.
"""

# label, arguments, files made first, name in the start line, held
ARGUMENT_CASES = [
    ("existing", ["file.txt"], ["file.txt"], "file.txt", True),
    ("first_of_several", ["a", "b", "c"], ["a"], "a", True),
    ("later_ones_ignored", ["missing", "present"], ["present"], "missing", False),
    ("percent_signs", ["100%s %d %n %% x"], ["100%s %d %n %% x"], "100%s %d %n %% x", True),
    ("empty", [""], [], "", False),
]

# label, standard input, name it yields, file of that name exists. Standard
# input "closed" is none at all, "folder" one that fails at the first read.
PROMPT_CASES = [
    ("crlf", b"name.txt\r\n", "name.txt", True),
    ("cr_inside", b"ab\rcd\n", "ab", True),
    ("end_of_input_after_text", b"tail.txt", "tail.txt", True),
    ("only_first_line", b"one\ntwo\n", "one", True),
    ("empty_line", b"\n", "", False),
    ("end_of_input_at_once", b"", "", False),
    ("long_line", b"x" * 2000 + b"\n", "x" * 1023, False),
    ("closed", "closed", "", False),
    ("read_error", "folder", "", False),
]
