#!/usr/bin/python3
"""Builds the desktop program's help page from the README's user sections.

Usage: scripts/readme_help.py README.md OUTPUT.html

Only the Markdown the README uses is understood: headings, paragraphs, indented
code blocks, "-" lists, pipe tables, `code`, **bold**, links and images (images
are left out: the page is read without the repository around it). Every heading
gets an id from its text ("### yt-dlp" -> id="yt-dlp"), which the program's
links point at.
"""
import html
import re
import sys

# Level-2 sections of the README that make the help, in this order.
SECTIONS = [
    "The desktop program",
    "Install",
    "The engine: kby_nuvix",
    "Update check",
]

STYLE = """
body { background: #050F15; color: #E6E6E6; font: 15px/1.5 sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em; }
h1, h2, h3 { color: #EA700C; }
a { color: #F2A65A; }
code, pre { background: #262626; color: #EA700C; }
pre code { background: none; }
pre { padding: 0.6em; overflow-x: auto; }
table { border-collapse: collapse; }
td, th { border: 1px solid #4A4C50; padding: 0.2em 0.5em; text-align: left; }
"""


def slug(text):
    text = re.sub(r"[`*]", "", text).strip().lower()
    text = re.sub(r"[^a-z0-9_\- ]", "", text)
    return re.sub(r" +", "-", text)


def inline(text):
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            out.append("<code>" + html.escape(part[1:-1]) + "</code>")
            continue
        part = html.escape(part, quote=False)
        part = re.sub(r"!\[([^\]]*)\]\([^)]*\)", "", part)
        part = re.sub(r"\[([^\]]+)\]\(([^)\s]+)\)",
                      lambda m: '<a href="%s">%s</a>' % (html.escape(m.group(2)), m.group(1)), part)
        part = re.sub(r"\*\*([^*]+)\*\*", r"<strong>\1</strong>", part)
        # Bare addresses become links; a sentence's full stop stays outside.
        part = re.sub(r'(?<![">])(https?://[^\s<]*[^\s<.,;:)])', r'<a href="\1">\1</a>', part)
        out.append(part)
    return "".join(out)


def pick_sections(lines):
    chunks = {}
    current = None
    for line in lines:
        if line.startswith("## "):
            current = line[3:].strip()
            chunks[current] = [line]
        elif line.startswith("# "):
            current = None
        elif current is not None:
            chunks[current].append(line)
    missing = [s for s in SECTIONS if s not in chunks]
    if missing:
        sys.exit("readme_help: README has no section " + ", ".join(missing))
    picked = []
    for s in SECTIONS:
        picked.extend(chunks[s])
    return picked


def to_html(lines):
    out = []
    i = 0
    n = len(lines)
    while i < n:
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        m = re.match(r"^(#{2,4}) (.*)$", line)
        if m:
            level = len(m.group(1))
            title = m.group(2).strip()
            out.append('<h%d id="%s">%s</h%d>' % (level, slug(title), inline(title), level))
            i += 1
            continue
        if line.startswith("    "):
            block = []
            while i < n and (lines[i].startswith("    ") or not lines[i].strip()):
                block.append(lines[i][4:])
                i += 1
            while block and not block[-1].strip():
                block.pop()
            out.append("<pre>" + html.escape("\n".join(block)) + "</pre>")
            continue
        if line.startswith("|"):
            rows = []
            while i < n and lines[i].startswith("|"):
                rows.append([c.strip() for c in lines[i].strip().strip("|").split("|")])
                i += 1
            out.append("<table>")
            for r, cells in enumerate(rows):
                if r == 1 and all(re.fullmatch(r":?-+:?", c) for c in cells):
                    continue
                tag = "th" if r == 0 else "td"
                out.append("<tr>" + "".join("<%s>%s</%s>" % (tag, inline(c), tag) for c in cells) + "</tr>")
            out.append("</table>")
            continue
        if re.match(r"^(- |\d+\. )", line):
            ordered = not line.startswith("- ")
            items = []
            while i < n and (re.match(r"^(- |\d+\. )", lines[i]) or
                             (lines[i].startswith("  ") and lines[i].strip() and items)):
                if re.match(r"^(- |\d+\. )", lines[i]):
                    items.append(re.sub(r"^(- |\d+\. )", "", lines[i]).strip())
                else:
                    items[-1] += " " + lines[i].strip()
                i += 1
            tag = "ol" if ordered else "ul"
            out.append("<%s>" % tag + "".join("<li>%s</li>" % inline(t) for t in items) + "</%s>" % tag)
            continue
        para = []
        while i < n and lines[i].strip() and not re.match(r"^(#{2,4} |    |\||- |\d+\. )", lines[i]):
            para.append(lines[i].strip())
            i += 1
        text = inline(" ".join(para)).strip()
        if text:
            out.append("<p>" + text + "</p>")
    return out


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().split("\n")
    body = to_html(pick_sections(lines))
    page = ["<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
            "<title>Nuvix help</title>", "<style>" + STYLE + "</style>", "</head>", "<body>",
            '<h1 id="top">Nuvix help</h1>']
    page += body
    page += ["</body>", "</html>", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(page))


if __name__ == "__main__":
    main()
