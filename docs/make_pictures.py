"""Make the pictures under docs/ that the README shows: for Brown 2004 and
e_coli_core, the sensitivity heat map, the notebook view and the HTML
report (the last two as headless-Chromium screenshots).

    .venv/bin/python docs/make_pictures.py
"""

import os
import subprocess
import tempfile

import quelmar
from quelmar.plot import write_plot

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")
MODELS = {"brown2004": os.path.join(ROOT, "src", "quelmar", "data",
                                    "BIOMD0000000033_Brown2004.xml"),
          "e_coli_core": os.path.join(ROOT, "tests", "data", "models",
                                      "cobrapy_textbook.xml.gz")}
# a notebook's output area, roughly: the view is shown as a cell's output
NOTEBOOK = """<!DOCTYPE html><html><head><meta charset="utf-8"><style>
body{{margin:0;background:#f5f5f5;font-family:sans-serif}}
.cell{{margin:16px;background:#fff;border:1px solid #e0e0e0;padding:8px 12px}}
.in{{font-family:monospace;color:#303f9f;margin-bottom:8px}}
</style></head><body><div class="cell"><div class="in">In [1]: quelmar.analyze(model,
seed=0)</div>{body}</div></body></html>"""


def screenshot(html_text, path, size=(1000, 1300)):
    with tempfile.TemporaryDirectory() as tmp:
        page = os.path.join(tmp, "page.html")
        with open(page, "w", encoding="utf-8") as f:
            f.write(html_text)
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        "--no-first-run", f"--user-data-dir={tmp}/profile",
                        "--hide-scrollbars", f"--window-size={size[0]},{size[1]}",
                        f"--screenshot={path}", "file://" + page],
                       check=True, capture_output=True, timeout=120)


def shrink(path):
    """A palette of 256 colours instead of true colour: a third of the size."""
    from PIL import Image
    with Image.open(path) as im:
        small = im.convert("RGB").quantize(colors=256)
    small.save(path, optimize=True)


def main():
    for name, model in MODELS.items():
        result = quelmar.analyze(quelmar.load(model), seed=0)
        pictures = {"heatmap": write_plot(result, os.path.join(DOCS, f"heatmap-{name}.png"),
                                          dpi=100),
                    "notebook": os.path.join(DOCS, f"notebook-{name}.png"),
                    "report": os.path.join(DOCS, f"report-{name}.png")}
        screenshot(NOTEBOOK.format(body=result._repr_html_()), pictures["notebook"])
        screenshot(result.to_html(), pictures["report"])
        for path in pictures.values():
            shrink(path)


if __name__ == "__main__":
    main()
