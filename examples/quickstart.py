"""Quick start: documents, pages, expiry, a graph, a unique index, a geo search, a phrase search, queries
(filtered, ordered, hybrid) and aggregates, in a file and in memory.

Run after installing pallix (scripts/quickstart.sh does both):

    python3 examples/quickstart.py
"""

import array
import os
import tempfile

import pallix


def tour(db, label):
    """Writes, reads, pages, purges and walks one database, printing each step."""
    print(f"== {label}: {db!r}")
    people = db.collection("people")

    # Inserts: any key (str or bytes), any document (dicts, lists, numbers, text...).
    people.insert("ada", {"name": "Ada", "born": 1815, "langs": ["analytical engine"]})
    people.insert("alan", {"name": "Alan", "born": 1912})
    people.insert("grace", {"name": "Grace", "born": 1906, "navy": True})
    auto = people.insert_auto({"name": "anonymous"})
    print(f"inserted 4 documents (one under the generated key {auto}); len = {len(people)}")

    # Gets, and read-modify-write.
    print("get('ada')     ->", people.get("ada"))
    print("get('nobody')  ->", people.get("nobody"))
    people.update("alan", lambda doc: {**doc, "turing_award": False})
    people.patch("grace", {"rank": "rear admiral"})
    print("after update/patch: alan ->", people.get("alan"), "| grace ->", people.get("grace"))

    # A page walk: keyset pages of 2 rows, each resuming after the last key.
    after, number = None, 0
    while True:
        page = people.page(after=after, limit=2)
        number += 1
        print(f"page {number}: {[key for key, _ in page.rows]} next={page.next!r}")
        if page.next is None:
            break
        after = page.next

    # Expiry: instants are plain integers in units you choose (here: seconds).
    sessions = db.collection("sessions")
    sessions.insert_with_ttl("s1", {"user": "ada"}, 1_000)
    sessions.insert_with_ttl("s2", {"user": "alan"}, 2_000)
    sessions.insert("s3", {"user": "grace"})  # no expiry
    print("s1 expires at", sessions.get_ttl("s1"), "| s3 expires at", sessions.get_ttl("s3"))
    purged = sessions.purge_expired(1_500)
    print(f"purge_expired(1500) removed {purged}; remaining: {[key for key, _ in sessions.scan()]}")

    # A graph: directed, labelled edges between keys, walked breadth-first.
    people.link("ada", "inspired", "alan")
    people.link("alan", "inspired", "grace")
    people.link_weighted("grace", "inspired", auto, 0.5)
    print("neighbors(ada)         ->", people.neighbors("ada", "inspired"))
    print("traverse(ada, 3 hops)  ->", people.traverse("ada", "inspired", 3))
    print("weighted out of grace  ->", people.neighbors_weighted("grace", "inspired"))

    # A streaming walk with a callback; returning a falsy value stops it.
    born = []
    people.scan_each(lambda key, doc: born.append((doc.get("born"), key)) or True)
    print("scan_each saw:", sorted(b for b in born if b[0] is not None))

    # A unique field checked through a scalar index: the duplicate is refused.
    people.set_schema([pallix.SchemaField("name", "text", unique=True)])
    people.create_scalar_index("name")
    try:
        people.insert("ada2", {"name": "Ada"})
    except pallix.PallixError as e:
        print(f"duplicate refused: code {e.code} ({e.message})")

    # A geo index and a radius search (distances in km, nearest first).
    places = db.collection("places")
    places.insert("paris", {"loc": [48.8566, 2.3522]})
    places.insert("london", {"loc": [51.5074, -0.1278]})
    places.insert("berlin", {"loc": {"lat": 52.52, "lon": 13.405}})
    places.create_geo_index("loc")
    near_paris = places.geo_within_radius("loc", 48.8566, 2.3522, 500.0)
    print("within 500 km of Paris:", [(h.key, round(h.distance_km, 1)) for h in near_paris])
    print("nearest 2 to Berlin:   ", [h.key for h in places.geo_nearest("loc", 52.52, 13.405, 2)])
    places.close()

    # A filtered, ordered query and aggregates over a batch of documents.
    books = db.collection("books")
    books.insert_many([
        ("b1", {"title": "Analytical notes", "year": 1843, "genre": "math"}),
        ("b2", {"title": "On computable numbers", "year": 1936, "genre": "math"}),
        ("b3", {"title": "Compiler primer", "year": 1952, "genre": "cs"}),
        ("b4", {"title": "Gödel, Escher, Bach", "year": 1979, "genre": "essay"}),
        ("b5", {"title": "Structure and interpretation", "year": 1985, "genre": "cs"}),
    ])
    books.create_scalar_index("year")
    rows = (books.query().filter(pallix.field("year").ge(1900)).order_by("year", descending=True)
            .select(["title", "year"]).limit(3).run())
    print("newest three since 1900:", [(r.key, r.document["year"]) for r in rows])
    print("books per genre:", books.query().group_count("genre"),
          "| mean year of cs:", books.query().filter(pallix.field("genre").eq("cs")).avg("year"))
    print("deleted before 1900:", books.delete_where(pallix.field("year").lt(1900)),
          "| compare_and_set:", books.compare_and_set("b3", {"title": "Compiler primer", "year": 1952, "genre": "cs"},
                                                      {"title": "Compiler primer", "year": 1952, "genre": "cs",
                                                       "read": True}))
    books.close()

    # A text index and a phrase search: BM25 scores, best first. The
    # in-memory index is built from the stored documents on first use; an
    # on-disk one (create_text_index_ondisk) is built now and kept in the file.
    notes = db.collection("notes")
    notes.insert("n1", {"body": "The quick brown fox jumps over the lazy dog"})
    notes.insert("n2", {"body": "A brown fox, quick as ever"})
    notes.insert("n3", {"body": "Quick brown foxes everywhere"})
    notes.create_text_index("body")
    hits = notes.phrase_search("body", "quick brown fox", 10)
    print("phrase 'quick brown fox':", [(r.key, round(r.score, 3)) for r in hits])

    # A vector index: cosine distance over float32 vectors (array('f')),
    # kept on disk and built over the stored documents now. Normalise your
    # vectors, or use cosine or dot, for good recall.
    notes.update("n1", lambda doc: {**doc, "emb": array.array("f", [0.9, 0.1, 0.0])})
    notes.update("n2", lambda doc: {**doc, "emb": array.array("f", [0.7, 0.7, 0.1])})
    notes.create_vector_index_ondisk("emb", "cosine")
    print("declared an on-disk cosine vector index on notes.emb")

    # A hybrid query: the text and vector rankings fused by Reciprocal Rank
    # Fusion, over the documents the filter keeps.
    rows = (notes.query().filter(pallix.field("body").contains("fox")).text("body", "quick fox", 5)
            .vector("emb", array.array("f", [1.0, 0.0, 0.0]), 5, "cosine").select(["body"]).run())
    print("hybrid 'quick fox' + [1, 0, 0]:", [(r.key, round(r.score, 4)) for r in rows])
    notes.close()

    # Errors carry a stable code.
    try:
        db.collection("__internal").insert("k", 1)
    except pallix.PallixError as e:
        print(f"refused as expected: code {e.code} ({e.message})")
    people.close()
    sessions.close()


def main():
    print("pallix binding interface version:", pallix.ffi_version())
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "quickstart.db")
        with pallix.Db.open(path) as db:
            tour(db, "file database")
        # Everything written is there after reopening the file.
        with pallix.Db(path) as db:
            people = db.collection("people")
            print(f"reopened {os.path.basename(path)}: collections {db.collections()}, {len(people)} people,"
                  f" alan -> {people.get('alan')}")
            people.close()
        with pallix.Db() as db:
            tour(db, "in-memory database")
            # A dump is a portable image of the whole database: load it into a
            # fresh in-memory database, then back that one up to a new file.
            dump = os.path.join(tmp, "quickstart.dump")
            db.dump_to_path(dump)
        with pallix.Db() as fresh:
            fresh.load_from_path(dump)
            people = fresh.collection("people")
            print(f"loaded {os.path.basename(dump)}: collections {fresh.collections()}, {len(people)} people")
            people.close()
            backup = os.path.join(tmp, "backup.db")
            fresh.backup(backup)
        with pallix.Db(backup) as copy:
            print(f"backup {os.path.basename(backup)}: collections {copy.collections()}")


if __name__ == "__main__":
    main()
