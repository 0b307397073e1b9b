"""scripts/check_layout.py on small trees of its own: which includes it takes
for arrows, and what it reports."""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import check_layout  # noqa: E402


def tree(root, files):
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def run(root, capsys, *extra):
    status = check_layout.main(["--root", str(root), *extra])
    return status, capsys.readouterr().out


def test_includes_that_follow_the_rule_pass(tmp_path, capsys):
    root = tree(tmp_path, {
        "include/nuv.h": "",
        "protocol/camera_protocol.h": "#include <cstdint>\n",
        "platform/os.h": '#include <windows.h>\n#include "nuv.h"\n',
        "common/com.cpp": '#include "platform/os.h"\n#include "protocol/camera_protocol.h"\n',
        "capture/open.cpp": '#include "common/com.h"\n#include "missing/generated.h"\n',
        # Beside the including file first: this is nuvctl's own api.h, not the api room.
        "tools/nuvctl/api.h": "",
        "tools/nuvctl/main.cpp": '#include "api.h"\n#include "nuv.h"\n',
        "api/registry.h": "",
    })
    status, out = run(tmp_path, capsys)
    assert status == 0, out
    assert out.endswith("14 rooms follow the rule, 0 do not\n")


def test_each_arrow_that_runs_back_up_is_named(tmp_path, capsys):
    root = tree(tmp_path, {
        "api/registry.h": "",
        "capture/capture.h": "",
        "common/com.cpp": '// the process state\n#include "api/registry.h"\n',
        "control/properties.cpp": '#include "api/registry.h"\n  #  include "capture/capture.h"\n',
        "platform/framework/x.cpp": '#include "common/guarded.h"\n',
        "platform/sim/y.cpp": '#include "common/guarded.h"\n',
        "common/guarded.h": "",
    })
    junit = tmp_path / "layout.xml"
    status, out = run(root, capsys, "--junit", str(junit))
    assert status == 1
    lines = out.splitlines()
    assert lines[-1] == "layout: 11 rooms follow the rule, 3 do not"
    arrows = sorted(lines[:-1])
    assert len(arrows) == 3, out
    assert arrows[0].startswith("common/com.cpp:2: common includes api/registry.h, but api is not below common")
    assert arrows[1].startswith("control/properties.cpp:2: control includes capture/capture.h")
    # The simulated world may use common/; the rest of platform/ may not.
    assert arrows[2].startswith("platform/framework/x.cpp:1: platform includes common/guarded.h")

    cases = {case.get("name"): case for case in ET.parse(junit).getroot().iter("testcase")}
    assert set(cases) == set(check_layout.ROOMS)
    failed = {name for name, case in cases.items() if case.find("failure") is not None}
    assert failed == {"common", "control", "platform"}
    assert "api/registry.h" in cases["common"].find("failure").text


def test_a_room_without_a_rule_fails(tmp_path, capsys):
    tree(tmp_path, {"gadget/main.cpp": "int main() {}\n", "python/nuv/x.py": "import os\n"})
    status, out = run(tmp_path, capsys)
    assert status == 1
    assert "gadget/main.cpp: no rule says what the room 'gadget' may include" in out
