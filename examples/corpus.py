"""A deterministic, realistic corpus of records for the demo and the benchmarks.

Made offline from small word lists and a seeded random generator: people,
companies, addresses and product listings, 60 to 150 bytes of text each,
with a sprinkling of accented names so that multi-byte UTF-8 is common.
"""

import random

FIRST_NAMES = (
    "James Mary John Patricia Robert Jennifer Michael Linda William Elizabeth David Barbara "
    "Richard Susan Joseph Jessica Thomas Sarah Charles Karen Christopher Nancy Daniel Lisa "
    "Matthew Betty Anthony Margaret Mark Sandra Donald Ashley Steven Kimberly Paul Emily "
    "Andrew Donna Joshua Michelle Kenneth Carol Kevin Amanda Brian Melissa George Deborah "
    "Timothy Stephanie Ronald Rebecca Edward Sharon Jason Laura Jeffrey Cynthia Ryan Kathleen "
    "Jacob Amy Gary Angela Nicholas Shirley Eric Anna Jonathan Brenda Stephen Pamela Larry "
    "Emma Justin Nicole Scott Helen Brandon Samantha Benjamin Katherine Samuel Christine "
    "Gregory Debra Alexander Rachel Frank Carolyn Raymond Janet Jack Catherine Dennis Maria "
    "Jos\u00e9 Zo\u00eb Ren\u00e9e Andr\u00e9 Bj\u00f6rn Fran\u00e7ois Ang\u00e9lica In\u00e9s Ma\u00eblle Se\u00e1n"
).split()

LAST_NAMES = (
    "Smith Johnson Williams Brown Jones Garcia Miller Davis Rodriguez Martinez Hernandez "
    "Lopez Gonzalez Wilson Anderson Thomas Taylor Moore Jackson Martin Lee Perez Thompson "
    "White Harris Sanchez Clark Ramirez Lewis Robinson Walker Young Allen King Wright Scott "
    "Torres Nguyen Hill Flores Green Adams Nelson Baker Hall Rivera Campbell Mitchell Carter "
    "Roberts Gomez Phillips Evans Turner Diaz Parker Cruz Edwards Collins Reyes Stewart "
    "Morris Morales Murphy Cook Rogers Gutierrez Ortiz Morgan Cooper Peterson Bailey Reed "
    "Kelly Howard Ramos Kim Cox Ward Richardson Watson Brooks Chavez Wood James Bennett "
    "Gray Mendoza Ruiz Hughes Price Alvarez Castillo Sanders Patel Myers Long Ross Foster "
    "M\u00fcller Sch\u00e4fer Gonz\u00e1lez Pe\u00f1a Dub\u00e9 Le\u00f3n J\u00f8rgensen \u00c5str\u00f6m"
).split()

CITIES = (
    "Springfield|Riverside|Franklin|Greenville|Bristol|Clinton|Fairview|Salem|Madison|"
    "Georgetown|Arlington|Ashland|Burlington|Manchester|Milton|Newport|Oxford|Dover|Hudson|"
    "Kingston|Lexington|Marion|Mount Vernon|Chester|Winchester|Cambridge|Jackson|Auburn|"
    "Dayton|Lancaster|Plymouth|Portland|Richmond|Columbia|Troy|Hamilton|Florence|Glendale|"
    "San Jose|Santa Fe|Los Alamos|Boulder|Tacoma|Savannah|Toledo|Montr\u00e9al|Qu\u00e9bec|Z\u00fcrich|"
    "M\u00fcnchen|K\u00f8benhavn|S\u00e3o Paulo|Malm\u00f6"
).split("|")

STATES = (
    "AL AK AZ AR CA CO CT DE FL GA HI ID IL IN IA KS KY LA ME MD MA MI MN MS MO MT NE "
    "NV NH NJ NM NY NC ND OH OK OR PA RI SC SD TN TX UT VT VA WA WV WI WY"
).split()

STREETS = (
    "Maple Oak Pine Cedar Elm Washington Lake Hill Park Main Church Walnut Spruce Willow "
    "Sunset Highland Ridge Meadow Forest River Spring Valley Lincoln Jefferson Franklin "
    "Chestnut Birch Aspen Magnolia Dogwood Cherry Laurel Juniper Hawthorn Sycamore"
).split()

STREET_KINDS = "Street Avenue Road Lane Drive Court Boulevard Way Place Terrace".split()

JOBS = (
    "software engineer|data analyst|registered nurse|accountant|teacher|civil engineer|"
    "marketing manager|graphic designer|pharmacist|electrician|architect|dentist|"
    "project manager|sales representative|financial advisor|chef|paramedic|librarian|"
    "product manager|physical therapist|web developer|lawyer|veterinarian|plumber"
).split("|")

COMPANY_WORDS = (
    "Acme|Globex|Initech|Umbrella|Stark|Wayne|Wonka|Cyberdyne|Soylent|Hooli|Vandelay|"
    "Massive Dynamic|Aperture|Tyrell|Gringotts|Oscorp|Nakatomi|Monarch|Pied Piper|"
    "Blue Harbor|Northwind|Contoso|Fabrikam|Litware|Adventure|Lucerne|Proseware|"
    "Summit|Pinnacle|Evergreen|Silverline|Ironclad|Brightwater|Redwood|Keystone"
).split("|")

COMPANY_KINDS = (
    "Logistics|Analytics|Holdings|Industries|Systems|Solutions|Technologies|Partners|"
    "Consulting|Manufacturing|Pharmaceuticals|Foods|Energy|Capital|Robotics|Media|"
    "Labs|Networks|Security|Biotech|Aerospace|Motors|Textiles|Shipping"
).split("|")

COMPANY_SUFFIXES = "Inc.|LLC|Ltd.|Corp.|Group|GmbH|S.A.|& Co.".split("|")

TAGLINES = (
    "Trusted by teams in over forty countries since 1998.|"
    "Building the infrastructure of tomorrow, one project at a time.|"
    "Family owned and independently operated for three generations.|"
    "Award-winning service with a focus on sustainability.|"
    "Helping small businesses grow through smarter tools.|"
    "Certified partner for enterprise customers worldwide."
).split("|")

LANGUAGES = "English Spanish French German Portuguese Mandarin Hindi Arabic Italian Japanese".split()

UNITS = "Apartment Suite Unit Floor".split()

REVIEWS = (
    "Ships within two business days.|Free returns for thirty days.|"
    "Rated highly by thousands of buyers.|Limited edition, while stocks last.|"
    "Backed by a two-year warranty.|Best seller in its category this season."
).split("|")

INDUSTRIES = (
    "freight forwarding and warehousing|cloud data platforms|medical devices|"
    "renewable energy projects|consumer electronics|industrial automation|"
    "organic food distribution|commercial real estate|cyber security services|"
    "biotechnology research|aircraft components|textile manufacturing|"
    "payment processing|logistics software|pharmaceutical wholesale"
).split("|")

ADJECTIVES = (
    "wireless|portable|stainless steel|ergonomic|waterproof|rechargeable|vintage|"
    "compact|heavy duty|organic cotton|noise cancelling|smart|bamboo|cast iron|"
    "ultralight|solar powered|handmade|adjustable|foldable|leather"
).split("|")

PRODUCTS = (
    "headphones|water bottle|office chair|backpack|coffee grinder|desk lamp|"
    "running shoes|skillet|bluetooth speaker|yoga mat|electric kettle|camping tent|"
    "mechanical keyboard|wristwatch|blender|air purifier|bicycle helmet|notebook|"
    "sunglasses|phone case|travel mug|cutting board|vacuum cleaner|hiking boots"
).split("|")

BRANDS = "Northpeak Lumina Voltra Kestrel Everly Brightline Cobalt Solace Arbor Tandem Quill Fenwick".split()

COLOURS = "black white navy grey olive crimson teal sand charcoal ivory".split()


def _person(rng):
    first, last = rng.choice(FIRST_NAMES), rng.choice(LAST_NAMES)
    email = f"{first.lower()}.{last.lower()}{rng.randrange(100)}@example.com"
    return {
        "name": f"{first} {last}",
        "email": email,
        "job": rng.choice(JOBS),
        "city": f"{rng.choice(CITIES)}, {rng.choice(STATES)}",
        "phone": f"+1 {rng.randrange(200, 999)}-555-{rng.randrange(10000):04d}",
        "languages": f"speaks {' and '.join(rng.sample(LANGUAGES, rng.choice((1, 2))))}",
    }


def _street(rng):
    return f"{rng.randrange(1, 9999)} {rng.choice(STREETS)} {rng.choice(STREET_KINDS)}"


def _company(rng):
    words = rng.sample(COMPANY_WORDS, rng.choice((1, 1, 2)))
    return {
        "company": f"{' '.join(words)} {rng.choice(COMPANY_KINDS)} {rng.choice(COMPANY_SUFFIXES)}",
        "industry": rng.choice(INDUSTRIES),
        "address": f"{_street(rng)}, {rng.choice(CITIES)}",
        "tagline": rng.choice(TAGLINES),
    }


def _address(rng):
    return {
        "address": f"{_street(rng)}, {rng.choice(UNITS)} {rng.randrange(1, 40)}",
        "city": rng.choice(CITIES),
        "state": rng.choice(STATES),
        "zip": f"{rng.randrange(10000, 99999)}",
        "resident": f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}",
        "since": f"resident since {rng.randrange(1970, 2026)}",
    }


def _product(rng):
    return {
        "title": f"{rng.choice(BRANDS)} {rng.choice(ADJECTIVES)} {rng.choice(PRODUCTS)}, {rng.choice(COLOURS)}",
        "sku": f"SKU-{rng.randrange(16**6):06X}",
        "price": f"${rng.randrange(5, 500)}.{rng.randrange(100):02d}",
        "seller": f"sold by {_company(rng)['company']}",
        "note": rng.choice(REVIEWS),
    }


_KINDS = (_person, _company, _address, _product)


def records(count=100_000, seed=20261208):
    """`count` records as dicts with an 'id' (0, 1, 2, ...) and string fields."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        record = {"id": i}
        record.update(_KINDS[i % len(_KINDS)](rng))
        out.append(record)
    return out


def text_of(record):
    """The record's searchable text: its string values joined with spaces."""
    return " ".join(v for v in record.values() if isinstance(v, str))
