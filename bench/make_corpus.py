#!/usr/bin/env python3
"""Writes a deterministic collection of .fb2 books for the benchmark.

The same seed and count always give the same bytes, and the first K books of a collection of N
are the first K books of any bigger one, so that runs over 200 and 2000 books compare like with
like. Books are made from the real books of the shared corpus (metadata changed, padded with a
cover image up to their drawn size) and from a template of our own, with sizes drawn
log-uniformly between 20 KB and 5 MB, Cyrillic and Latin metadata, a share in windows-1251,
sequences, about 5 % that do not conform to the schema and 1 % that are not well-formed XML.

  make_corpus.py books   --corpus DIR --out DIR [--count N] [--seed S]
  make_corpus.py big     --out FILE [--size-mb M] [--seed S]
  make_corpus.py listing --out DIR [--count N] [--tiny]
  make_corpus.py shapes  --out DIR [--size-mb M]
"""

import argparse
import base64
import os
import random
import re
import subprocess
import sys

KB = 1024
MIN_SIZE = 20 * KB
MAX_SIZE = 5 * KB * KB

# Real books that conform to the FictionBook 2.1 schema, used as valid templates.
CONFORMING = [
    "fbe_____Изменить дескрипшен v.1.1 (описание).fb2",
    "fbenext__fb2-cover-bmp-smoke.fb2",
    "fbenext__fb2-metadata-cyrillic-smoke.fb2",
    "fbenext__fb2-validate-valid-smoke.fb2",
    "fbenext__regex-regression.fb2",
    "fbenext__fb2-xml-comments-source.fb2",
    "fbjava__test2.1.fb2",
    "fbreaderj__QuickGuide.ru.fb2",
    "fbreaderj__image.fb2",
    "fictionup__fictionup-example-en.fb2",
]
# Real books that load but do not conform, and real books that are not well-formed.
NOT_CONFORMING = [
    "coolreader__example.fb2", "fb2library__test.fb2", "fb2doc__BasicTestFile.fb2",
    "fbenext__fb2-cover-broken.fb2", "pandoc__writer.fb2", "rglazkov__complex.fb2",
    "fb2cng___Test.fb2", "fb2doc___Test_1.fb2",
]
NOT_WELL_FORMED = [
    "coolreader__help_template_ru.fb2", "fb2doc___Test_Invalid.fb2", "sopds__badfile.fb2",
    "fbreaderj__MiniHelp.ru.koi8-r.fb2",
]

RU_LAST = ["Толстой", "Достоевский", "Чехов", "Булгаков", "Пушкин", "Гоголь", "Тургенев",
           "Лермонтов", "Бунин", "Куприн", "Шолохов", "Пастернак", "Ахматова", "Цветаева",
           "Стругацкий", "Ефремов", "Беляев", "Паустовский", "Платонов", "Зощенко", "Ильф",
           "Петров", "Гончаров", "Лесков", "Салтыков-Щедрин", "Грибоедов", "Островский",
           "Набоков", "Довлатов", "Шукшин", "Астафьев", "Распутин", "Айтматов", "Лукьяненко"]
RU_FIRST = ["Лев", "Фёдор", "Антон", "Михаил", "Александр", "Николай", "Иван", "Анна",
            "Марина", "Аркадий", "Борис", "Иван", "Константин", "Андрей", "Сергей", "Юрий",
            "Евгений", "Валентин", "Виктор", "Чингиз"]
RU_MIDDLE = ["Николаевич", "Михайлович", "Павлович", "Афанасьевич", "Сергеевич", "Васильевич",
             "Андреевна", "Ивановна", ""]
EN_LAST = ["Austen", "Dickens", "Twain", "London", "Wells", "Doyle", "Stevenson", "Kipling",
           "Verne", "Hugo", "Dumas", "Tolkien", "Asimov", "Bradbury", "Clarke", "Heinlein",
           "O'Brien", "Le Guin", "Pratchett", "Gaiman", "McCarthy", "Steinbeck"]
EN_FIRST = ["Jane", "Charles", "Mark", "Jack", "Herbert", "Arthur", "Robert", "Rudyard", "Jules",
            "Victor", "Alexandre", "John", "Isaac", "Ray", "Ursula", "Terry", "Neil", "Cormac"]
RU_WORDS = ("и в не на он что с я как а то она это к по но они мы из у за от так же все было "
            "время жизнь дом город дорога ночь утро свет тень сердце рука слово война мир "
            "человек земля небо море лес река поле снег ветер огонь память тишина голос книга "
            "путь окно письмо сад старый новый тихий тёмный светлый далёкий последний первый "
            "говорил думал смотрел шёл знал ждал помнил молчал стоял жил любил верил").split()
EN_WORDS = ("the of and to a in he that was it his her with as had for on at by not but from "
            "time life house city road night morning light shadow heart hand word war peace "
            "man earth sky sea forest river field snow wind fire memory silence voice book "
            "way window letter garden old new quiet dark bright distant last first said "
            "thought looked went knew waited remembered stood lived loved believed").split()
RU_TITLE = ["Тихий", "Последний", "Далёкий", "Тёмный", "Светлый", "Старый", "Новый", "Вечный"]
RU_NOUN = ["дом", "берег", "путь", "сад", "город", "лес", "свет", "огонь", "ветер", "мир"]
EN_TITLE = ["Quiet", "Last", "Distant", "Dark", "Bright", "Old", "New", "Silent", "Lost"]
EN_NOUN = ["House", "Shore", "Road", "Garden", "City", "Forest", "Light", "Fire", "Wind"]
GENRES = ["prose_classic", "russian_contemporary", "sf", "sf_fantasy", "det_classic",
          "adv_history", "love_contemporary", "poetry", "child_tale", "sci_history",
          "prose_rus_classic", "sf_space", "det_police", "thriller", "humor"]
SERIES_RU = ["Собрание сочинений", "Мир приключений", "Библиотека фантастики", "Классика"]
SERIES_EN = ["Collected Works", "World of Adventure", "Science Fiction Library", "Classics"]

NS = "http://www.gribuser.ru/xml/fictionbook/2.0"
XLINK = "http://www.w3.org/1999/xlink"


class Pools:
    """Text and image material made once, sliced for every book."""

    def __init__(self, rng):
        self.paragraphs = {
            "ru": [self._paragraph(rng, RU_WORDS) for _ in range(400)],
            "en": [self._paragraph(rng, EN_WORDS) for _ in range(400)],
        }
        raw = rng.randbytes(6 * KB * KB)
        encoded = base64.b64encode(raw).decode("ascii")
        # Lines of 76 characters, as e-book editors write them.
        self.base64 = "\n".join(encoded[i:i + 76] for i in range(0, len(encoded), 76))

    @staticmethod
    def _paragraph(rng, words):
        count = rng.randint(20, 120)
        text = " ".join(rng.choice(words) for _ in range(count))
        return text[0].upper() + text[1:] + "."

    def image(self, rng, size):
        """About size characters of base64, cut at a line boundary from a random place."""
        size = max(77, min(size, len(self.base64) - 77))
        start = rng.randrange(0, len(self.base64) - size) // 77 * 77
        end = start + size // 77 * 77 - 1
        return self.base64[start:end]


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def draw_metadata(rng):
    russian = rng.random() < 0.6
    if russian:
        last, first = rng.choice(RU_LAST), rng.choice(RU_FIRST)
        middle = rng.choice(RU_MIDDLE)
        title = f"{rng.choice(RU_TITLE)} {rng.choice(RU_NOUN)}"
        series = rng.choice(SERIES_RU)
    else:
        last, first, middle = rng.choice(EN_LAST), rng.choice(EN_FIRST), ""
        title = f"The {rng.choice(EN_TITLE)} {rng.choice(EN_NOUN)}"
        series = rng.choice(SERIES_EN)
    # Enough distinct titles that repeats stay a small share, as in a real library.
    if rng.random() < 0.97:
        title += f" {rng.randint(1, 99999)}"
    return {
        "lang": "ru" if russian else "en",
        "last": last, "first": first, "middle": middle, "title": title,
        "genre": rng.choice(GENRES),
        "sequence": (series, rng.randint(1, 30)) if rng.random() < 0.4 else None,
    }


def own_book(rng, pools, meta, size, fault):
    """Our own template: description, sections of paragraphs, an optional cover."""
    image_chars = 0
    if rng.random() < 0.75:
        image_chars = int(size * rng.uniform(0.3, 0.9)) if size > 60 * KB else 8 * KB
    author = f"<first-name>{escape(meta['first'])}</first-name>"
    if meta["middle"]:
        author += f"<middle-name>{escape(meta['middle'])}</middle-name>"
    author += f"<last-name>{escape(meta['last'])}</last-name>"
    genre = meta["genre"]
    date = '<date value="2004-05-17">2004</date>'
    if fault == "genre":
        genre = "prose_unknown_genre"
    elif fault == "date":
        date = '<date value="17.05.2004">2004</date>'
    title_info = [f"<genre>{genre}</genre>", f"<author>{author}</author>",
                  f"<book-title>{escape(meta['title'])}</book-title>", date]
    if image_chars:
        title_info.append('<coverpage><image l:href="#cover.jpg"/></coverpage>')
    title_info.append(f"<lang>{meta['lang']}</lang>")
    if meta["sequence"]:
        name, number = meta["sequence"]
        title_info.append(f'<sequence name="{escape(name)}" number="{number}"/>')
    if fault == "order":
        title_info[0], title_info[2] = title_info[2], title_info[0]
    head = (f'<FictionBook xmlns="{NS}" xmlns:l="{XLINK}">\n<description>\n'
            f"<title-info>{''.join(title_info)}</title-info>\n"
            "<document-info><author><nickname>bench</nickname></author>"
            '<date value="2024-01-01">2024</date><id>bench-'
            f"{rng.getrandbits(64):016x}</id><version>1.0</version></document-info>\n"
            "</description>\n<body>\n")
    if fault == "no-description":
        head = head[:head.index("<description>")] + "<body>\n"
    paragraphs = pools.paragraphs[meta["lang"]]
    parts = [head]
    used = len(head) + image_chars + 200
    section = 0
    while used < size:
        section += 1
        title = f"<section><title><p>{section}</p></title>\n"
        parts.append(title)
        used += len(title)
        for _ in range(rng.randint(10, 40)):
            p = f"<p>{rng.choice(paragraphs)}</p>\n"
            parts.append(p)
            used += len(p)
            if used >= size:
                break
        parts.append("</section>\n")
    parts.append("</body>\n")
    if image_chars:
        parts.append(f'<binary id="cover.jpg" content-type="image/jpeg">'
                     f"{pools.image(rng, image_chars)}</binary>\n")
    parts.append("</FictionBook>\n")
    text = "".join(parts)
    if fault == "truncated":
        text = text[:len(text) * 2 // 3]
    elif fault == "mismatch":
        text = text.replace("</book-title>", "</booktitle>", 1)
    elif fault == "ampersand":
        text = text.replace("<p>", "<p>Tom & Jerry ", 1)
    encoding = "windows-1251" if rng.random() < 0.2 else "utf-8"
    return f'<?xml version="1.0" encoding="{encoding}"?>\n{text}'.encode(encoding)


def declared_encoding(data):
    found = re.match(rb'[^<]*<\?xml[^>]*encoding="([^"]+)"', data[:200])
    return found.group(1).decode("ascii") if found else "utf-8"


def from_real_book(rng, pools, data, meta, size):
    """A real conforming book with another title and author, padded with a cover image."""
    encoding = declared_encoding(data)
    text = data.decode(encoding)
    title = escape(meta["title"])
    text = re.sub(r"<book-title>.*?</book-title>", lambda _: f"<book-title>{title}</book-title>",
                  text, count=1, flags=re.S)
    last = escape(meta["last"])
    text = re.sub(r"<last-name>.*?</last-name>", lambda _: f"<last-name>{last}</last-name>",
                  text, count=1, flags=re.S)
    missing = size - len(data)
    if missing > 1024:
        binary = (f'<binary id="bench-pad.jpg" content-type="image/jpeg">'
                  f"{pools.image(rng, missing)}</binary>\n")
        end = text.rindex("</")
        text = text[:end] + binary + text[end:]
    return text.encode(encoding, errors="xmlcharrefreplace")


def write_books(args):
    rng_pool = random.Random(args.seed)
    pools = Pools(rng_pool)
    real = {}
    for name in CONFORMING + NOT_CONFORMING + NOT_WELL_FORMED:
        with open(os.path.join(args.corpus, "files", name), "rb") as f:
            real[name] = f.read()
    os.makedirs(args.out, exist_ok=True)
    total = 0
    for i in range(args.count):
        # One generator per book: book i is the same whatever the count.
        rng = random.Random(f"{args.seed}/{i}")
        size = int(MIN_SIZE * (MAX_SIZE / MIN_SIZE) ** rng.random())
        meta = draw_metadata(rng)
        kind = rng.random()
        if kind < 0.01:
            if rng.random() < 0.3:
                data = real[rng.choice(NOT_WELL_FORMED)]
            else:
                fault = rng.choice(["truncated", "mismatch", "ampersand"])
                data = own_book(rng, pools, meta, size, fault)
        elif kind < 0.06:
            if rng.random() < 0.3:
                data = real[rng.choice(NOT_CONFORMING)]
            else:
                fault = rng.choice(["genre", "date", "order", "no-description"])
                data = own_book(rng, pools, meta, size, fault)
        elif kind < 0.30:
            data = from_real_book(rng, pools, real[rng.choice(CONFORMING)], meta, size)
        else:
            data = own_book(rng, pools, meta, size, None)
        # Source names as found in downloads folders: numbers, Latin and Cyrillic words.
        stem = rng.choice(["book", "книга", "fb2", "download", "Новая книга"])
        name = f"{i:05d} {stem}.{'FB2' if rng.random() < 0.05 else 'fb2'}"
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        total += len(data)
    print(f"{args.count} books, {total / KB / KB:.1f} MB in {args.out}")


def write_big(args):
    """One valid book of about size-mb megabytes: a long text with an illustration every few
    chapters, as a big illustrated edition would be."""
    rng = random.Random(args.seed)
    pools = Pools(rng)
    size = args.size_mb * KB * KB
    meta = draw_metadata(rng)
    paragraphs = pools.paragraphs[meta["lang"]]
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(f'<?xml version="1.0" encoding="utf-8"?>\n<FictionBook xmlns="{NS}" '
                f'xmlns:l="{XLINK}">\n<description><title-info><genre>prose_classic</genre>'
                f"<author><first-name>{meta['first']}</first-name><last-name>{meta['last']}"
                f"</last-name></author><book-title>{escape(meta['title'])}</book-title>"
                f"<lang>{meta['lang']}</lang></title-info><document-info><author><nickname>bench"
                '</nickname></author><date value="2024-01-01">2024</date><id>bench-big</id>'
                "<version>1.0</version></document-info></description>\n<body>\n")
        written = 0
        images = 0
        text_share = size // 2
        while written < text_share:
            f.write("<section><title><p>Chapter</p></title>\n")
            for _ in range(200):
                p = f"<p>{rng.choice(paragraphs)}</p>\n"
                f.write(p)
                written += len(p.encode("utf-8"))
            images += 1
            f.write(f'<image l:href="#i{images}.jpg"/>\n</section>\n')
        f.write("</body>\n")
        image_size = max(77, (size - written) // images)
        for n in range(1, images + 1):
            f.write(f'<binary id="i{n}.jpg" content-type="image/jpeg">'
                    f"{pools.image(rng, image_size)}</binary>\n")
        f.write("</FictionBook>\n")
    print(f"{args.out}: {os.path.getsize(args.out) / KB / KB:.1f} MB, {images} images")


# The smallest book a library holds: every element the schema requires, one line of text.
TINY_BOOK = (
    '<?xml version="1.0" encoding="utf-8"?>\n'
    '<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0" '
    'xmlns:l="http://www.w3.org/1999/xlink"><description><title-info><genre>prose_classic</genre>'
    "<author><first-name>{first}</first-name><last-name>{last}</last-name></author>"
    "<book-title>{title} {i}</book-title><lang>ru</lang></title-info><document-info><author>"
    "<nickname>bench</nickname></author><date>2026</date><id>tiny-{i}</id><version>1.0</version>"
    "</document-info></description><body><section><p>{title}.</p></section></body></FictionBook>\n")


def write_listing(args):
    """count files named as a sorted library names them, for timing the file list: empty, or with
    --tiny each a tiny valid book, for a whole run over very many books."""
    rng = random.Random(1)
    os.makedirs(args.out, exist_ok=True)
    for i in range(args.count):
        meta = draw_metadata(rng)
        name = f"{meta['last']} {meta['first']} - {meta['title']} {i}.fb2"
        with open(os.path.join(args.out, name), "wb") as f:
            if args.tiny:
                f.write(TINY_BOOK.format(first=escape(meta["first"]), last=escape(meta["last"]),
                                         title=escape(meta["title"]), i=i).encode("utf-8"))
    print(f"{args.count} files in {args.out}")


def shape_book(doctype, body, annotation=""):
    """A valid book of the given body, with a document type declaration when asked."""
    return ('<?xml version="1.0" encoding="utf-8"?>\n' + ("<!DOCTYPE FictionBook>\n" if doctype else "")
            + f'<FictionBook xmlns="{NS}" xmlns:l="{XLINK}"><description><title-info>'
            "<genre>prose_classic</genre><author><first-name>Лев</first-name><last-name>Толстой"
            "</last-name></author><book-title>Абзацы</book-title>" + annotation + "<lang>ru</lang>"
            "</title-info><document-info><author><nickname>bench</nickname></author><date>2026</date>"
            "<id>bench-shape</id><version>1.0</version></document-info></description>\n"
            f"<body>{body}</body></FictionBook>\n")


def short_paragraphs(size):
    """About size bytes of short numbered paragraphs, as a converted novel has them."""
    lines, written, i = [], 0, 0
    while written < size:
        line = f"<p>Короткий абзац номер {i}.</p>\n"
        lines.append(line)
        written += len(line.encode("utf-8"))
        i += 1
    return "".join(lines)


def sections_with_ids(size):
    """About size bytes of short sections, each with an id, as converted notes have them."""
    lines, written, i = [], 0, 0
    while written < size:
        line = f'<section id="n{i}"><p>Примечание {i}.</p></section>\n'
        lines.append(line)
        written += len(line.encode("utf-8"))
        i += 1
    return "".join(lines)


def write_shapes(args):
    """Folders of books whose shape once made a run's memory grow with the book: paragraphs in one
    section, a document type declaration (packed in a small archive, one and several), an
    annotation of paragraphs, an id on every section, a repeated id, and packed books of
    paragraphs several at once."""
    size = args.size_mb * KB * KB
    text = short_paragraphs(size)
    shapes = {
        "section": [("one-section.fb2", shape_book(False, f"<section>{text}</section>"))],
        "doctype-zip": [("doctype.fb2", shape_book(True, f"<section>{text}</section>"))],
        "doctype-zip-6": [(f"doctype-{k}.fb2", shape_book(True, f"<section>{short_paragraphs(size // 4)}</section>"))
                          for k in range(6)],
        "annotation": [("annotation.fb2", shape_book(False, "<section><p>x</p></section>",
                                                     f"<annotation>{short_paragraphs(size // 4)}</annotation>"))],
        "ids": [("ids.fb2", shape_book(False, sections_with_ids(size)))],
        "repeated-id": [("repeated-id.fb2", shape_book(False, f"<section>{text}</section>"
                                                        '<section id="x"><p>a</p></section>'
                                                        '<section id="x"><p>b</p></section>'))],
        "packed-7": [(f"packed-{k}.fb2", shape_book(False, f"<section>{short_paragraphs(size // 2)}</section>"))
                     for k in range(7)],
    }
    for folder, books in shapes.items():
        out = os.path.join(args.out, folder)
        os.makedirs(out, exist_ok=True)
        for name, book in books:
            path = os.path.join(out, name)
            with open(path, "w", encoding="utf-8") as f:
                f.write(book)
            if folder.startswith(("doctype-zip", "packed")):
                subprocess.run(["zip", "-q", "-j", "-9", "-X", path + ".zip", path], check=True)
                os.remove(path)
    print(f"shapes of about {args.size_mb} MB in {args.out}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    books = sub.add_parser("books")
    books.add_argument("--corpus", required=True)
    books.add_argument("--out", required=True)
    books.add_argument("--count", type=int, default=2000)
    books.add_argument("--seed", type=int, default=2024)
    big = sub.add_parser("big")
    big.add_argument("--out", required=True)
    big.add_argument("--size-mb", type=int, default=200)
    big.add_argument("--seed", type=int, default=7)
    listing = sub.add_parser("listing")
    listing.add_argument("--out", required=True)
    listing.add_argument("--count", type=int, default=100000)
    listing.add_argument("--tiny", action="store_true", help="tiny valid books, not empty files")
    shapes = sub.add_parser("shapes")
    shapes.add_argument("--out", required=True)
    shapes.add_argument("--size-mb", type=int, default=100)
    args = parser.parse_args()
    {"books": write_books, "big": write_big, "listing": write_listing, "shapes": write_shapes}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
