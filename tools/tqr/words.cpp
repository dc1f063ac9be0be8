#include "tools/tqr/words.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tools/tqr/payload.h"

namespace tqr {

const char* const g_code_words[kCodeWordCount] = {
    "abbey", "absent", "absorb", "academy", "accent", "access", "accord", "acid", "acorn", "acre", "acrobat",
    "act", "active", "actor", "actual", "adapter", "add", "address", "admire", "adopt", "adult", "advance",
    "adverb", "affair", "afraid", "agenda", "agent", "agile", "agree", "aim", "airline", "airport", "alarm",
    "album", "alert", "algae", "alive", "allow", "almond", "alpha", "amazing", "amber", "amount", "amplify",
    "amuse", "analyze", "anchor", "ancient", "angle", "angry", "animal", "answer", "antenna", "anthem",
    "antique", "anvil", "anxious", "apology", "appeal", "applaud", "apple", "apricot", "apron", "arcade",
    "arch", "archive", "archway", "arctic", "arena", "argue", "army", "aroma", "arrive", "artist", "aspen",
    "asset", "assist", "athlete", "atlas", "atom", "attempt", "attend", "attic", "auction", "audio", "author",
    "autumn", "avenue", "avocado", "avoid", "awake", "award", "aware", "awful", "baby", "back", "badger",
    "bag", "bagel", "bait", "bake", "balance", "balcony", "ball", "ballad", "balloon", "bamboo", "bandit",
    "banjo", "banner", "banquet", "barber", "bargain", "bark", "barley", "baron", "barrel", "barrier", "base",
    "basic", "basil", "basin", "basket", "batch", "bathe", "bathtub", "battery", "beach", "beacon", "beam",
    "beard", "beast", "beauty", "bed", "bedroom", "bedtime", "beef", "beehive", "beetle", "begin", "behave",
    "belief", "belly", "belong", "belt", "bench", "bent", "bicycle", "big", "billion", "bingo", "biology",
    "birch", "bird", "bison", "bitter", "blade", "blank", "blanket", "blaze", "bleak", "blend", "blimp",
    "blink", "bliss", "block", "blond", "bloom", "blossom", "blur", "blush", "boar", "boast", "bobcat",
    "body", "boil", "bold", "bone", "bonfire", "bonnet", "bonus", "boost", "booth", "border", "borrow",
    "boss", "bottle", "bottom", "boulder", "bounce", "bounty", "bowl", "box", "brace", "bracket", "brain",
    "branch", "brand", "brass", "brave", "bravo", "bread", "breathe", "breeze", "brewery", "brick", "bride",
    "brief", "bright", "bring", "broad", "broken", "bronze", "brook", "broth", "brother", "brown", "brownie",
    "bucket", "buckle", "buddy", "budget", "buffalo", "bugle", "build", "bulb", "bulk", "bull", "bulldog",
    "bump", "bunch", "bundle", "bunker", "bunny", "burger", "burn", "burrito", "busy", "butcher", "butler",
    "butter", "button", "buyer", "buzz", "cabbage", "cabin", "cabinet", "cable", "cactus", "cadet", "cage",
    "call", "calm", "calorie", "camel", "cameo", "camera", "camp", "camper", "campus", "canal", "canary",
    "cancel", "candle", "candy", "canoe", "canopy", "canvas", "canyon", "capital", "capsule", "captain",
    "capture", "caramel", "caravan", "carbon", "card", "career", "careful", "cargo", "carol", "carpet",
    "carrot", "carry", "cartoon", "carve", "cascade", "cashew", "cashier", "castle", "casual", "catch",
    "catfish", "catnip", "cattle", "cause", "caution", "cavern", "cedar", "ceiling", "celery", "cement",
    "century", "ceramic", "chain", "chair", "chalk", "chamber", "chant", "chaos", "chapel", "chapter",
    "charge", "charm", "charter", "chase", "cheap", "cheek", "cheer", "cheese", "chemist", "cherry", "chess",
    "chest", "chew", "chicken", "chief", "child", "chimney", "choice", "choir", "chop", "chorus", "chowder",
    "chrome", "chuckle", "cinema", "circle", "circus", "citizen", "citrus", "city", "civil", "claim", "clap",
    "class", "classic", "claw", "clay", "clean", "clear", "clerk", "clever", "client", "cliff", "climate",
    "climb", "climber", "cling", "clinic", "clock", "closet", "cloth", "cloud", "clover", "clown", "club",
    "clue", "clumsy", "cluster", "coach", "coast", "cobra", "cobweb", "cockpit", "cocoa", "coconut", "cocoon",
    "code", "coffee", "coil", "coin", "cola", "cold", "collar", "collect", "colony", "column", "comb",
    "comedy", "comet", "comfort", "common", "compare", "compass", "compete", "concept", "concert", "condor",
    "console", "contest", "control", "convoy", "cook", "cookie", "cookout", "cool", "copper", "copy", "coral",
    "cork", "corner", "cosmic", "cosmos", "costume", "cot", "cottage", "cotton", "couch", "cougar", "count",
    "counter", "country", "courage", "courier", "court", "cousin", "cow", "cowboy", "coyote", "crab",
    "cradle", "craft", "crane", "crater", "crawl", "crayon", "credit", "crew", "cricket", "crimson", "crisp",
    "cross", "crowbar", "crowd", "cruise", "crumble", "crunchy", "crush", "cry", "crystal", "cube", "cuddly",
    "culture", "cup", "cupcake", "cure", "curfew", "curious", "curl", "current", "curry", "curtain",
    "cushion", "custard", "cute", "cycle", "cyclist", "cyclone", "daily", "daisy", "damp", "dance", "dare",
    "dark", "dart", "data", "dawn", "dazzle", "deal", "decade", "decent", "decide", "decimal", "decoy",
    "deep", "degree", "delay", "delight", "deliver", "delta", "denim", "dense", "density", "dentist", "deny",
    "depend", "deposit", "deputy", "derby", "design", "desk", "detail", "device", "diagram", "diamond",
    "diary", "diet", "dig", "digit", "digital", "dilemma", "dim", "dimple", "dine", "dinner", "diploma",
    "direct", "discard", "disco", "dish", "divide", "dizzy", "dock", "doctor", "dog", "dollar", "dolphin",
    "domain", "donkey", "doodle", "door", "doorway", "double", "dozen", "draft", "drag", "dragon", "drain",
    "drama", "draw", "dream", "dress", "dresser", "drift", "drill", "drink", "drive", "drizzle", "drop",
    "droplet", "drum", "drummer", "dry", "duet", "dull", "dune", "dusk", "dust", "duty", "eager", "eagle",
    "early", "earring", "earth", "easy", "echo", "eclipse", "economy", "editor", "egg", "elastic", "elbow",
    "elegant", "element", "elk", "elm", "embassy", "embrace", "emerald", "emperor", "empire", "empty", "emu",
    "endless", "energy", "engine", "enjoy", "enter", "episode", "equal", "equator", "eraser", "error",
    "escape", "essay", "estate", "evening", "event", "evolve", "exact", "exam", "example", "exhibit", "exist",
    "exotic", "expand", "expert", "explain", "explore", "express", "fable", "fabric", "face", "factory",
    "fade", "fail", "faint", "falcon", "false", "family", "famous", "fan", "fancy", "fantasy", "farm",
    "fashion", "fasten", "faucet", "fear", "feast", "feather", "feed", "fence", "fern", "ferret", "fetch",
    "fever", "few", "fiction", "fiddle", "field", "fierce", "fig", "figure", "fill", "film", "filter",
    "finch", "find", "fine", "finger", "firefly", "first", "fish", "fit", "fix", "flag", "flame", "flannel",
    "flap", "flash", "flask", "fleece", "fleet", "flick", "flight", "float", "flock", "flood", "floor",
    "florist", "flow", "fluffy", "flurry", "flute", "fly", "foal", "focus", "fold", "folk", "follow", "foot",
    "force", "forest", "forget", "forgive", "formal", "format", "fort", "forum", "fossil", "found", "fox",
    "fragile", "frank", "freckle", "free", "freedom", "freeway", "freeze", "fresh", "friend", "fringe",
    "frisky", "frog", "front", "frosty", "frown", "frozen", "fruit", "fudge", "fuel", "full", "funnel",
    "funny", "furnace", "fuse", "future", "fuzzy", "gadget", "galaxy", "gale", "gallery", "gallon", "game",
    "gap", "garage", "garden", "garland", "garlic", "garnet", "garnish", "gateway", "gather", "gaze",
    "gazebo", "gazelle", "gear", "gecko", "genius", "genre", "gentle", "genuine", "gerbil", "gesture",
    "ghost", "giant", "gift", "giggle", "ginger", "giraffe", "girl", "give", "glacier", "glad", "glance",
    "glide", "glimmer", "glimpse", "glitter", "global", "globe", "glory", "glossy", "glow", "goal", "goat",
    "goblin", "golden", "golf", "gondola", "gong", "good", "goose", "gopher", "gorilla", "gossip", "grade",
    "grain", "grammar", "grand", "granite", "granola", "grape", "graph", "grasp", "grass", "gravel",
    "gravity", "gravy", "great", "green", "griddle", "grim", "grind", "grip", "grizzly", "grocer", "group",
    "grove", "grumpy", "guard", "guess", "guest", "guide", "guitar", "gull", "gum", "gumdrop", "gymnast",
    "habit", "habitat", "hail", "haircut", "hairy", "half", "hallway", "halo", "ham", "hammer", "hammock",
    "hamster", "hand", "handbag", "hang", "happen", "happy", "hard", "harmony", "harpoon", "harsh", "harvest",
    "hasty", "hat", "hatch", "hatchet", "haven", "hawk", "hazard", "hazel", "head", "health", "heart",
    "heating", "heavy", "height", "helium", "helmet", "help", "helpful", "hen", "hermit", "heron", "herring",
    "hickory", "hidden", "hide", "highway", "hike", "hill", "hinge", "hint", "hippo", "history", "hobby",
    "hockey", "hog", "hold", "holiday", "hollow", "home", "honest", "honey", "hook", "hope", "horizon",
    "horse", "hostel", "hostess", "hot", "hound", "house", "hover", "howl", "huge", "hum", "human", "humble",
    "humid", "hungry", "hunt", "hurdle", "hurry", "hybrid", "iceberg", "icicle", "icon", "idea", "igloo",
    "ignore", "image", "imagine", "immense", "impact", "improve", "impulse", "include", "index", "infant",
    "inform", "inning", "input", "insect", "insight", "inspire", "invent", "invite", "iris", "iron", "island",
    "issue", "itch", "item", "ivy", "jackal", "jacket", "jackpot", "jade", "jaguar", "jam", "jar", "jasmine",
    "javelin", "jaw", "jazz", "jelly", "jersey", "jester", "jigsaw", "jingle", "job", "jockey", "jog", "join",
    "joke", "jolly", "journal", "journey", "joy", "joyful", "judge", "judo", "juggle", "juice", "jukebox",
    "jumbo", "jump", "jungle", "jury", "justice", "karate", "karma", "kayak", "keen", "keep", "kennel",
    "kettle", "key", "kick", "kind", "king", "kingdom", "kitchen", "kite", "kitten", "kiwi", "kneel", "knit",
    "knock", "knuckle", "koala", "label", "ladder", "lady", "ladybug", "lagoon", "lake", "lamb", "land",
    "landing", "lantern", "laptop", "large", "lark", "laser", "lasso", "last", "latch", "laugh", "launch",
    "laundry", "lava", "lawn", "lawyer", "leader", "leaf", "league", "learn", "leather", "leave", "lecture",
    "legacy", "legal", "legend", "lemon", "lens", "lentil", "leopard", "lesson", "letter", "lettuce", "level",
    "liberty", "library", "lid", "life", "lift", "like", "lilac", "lily", "lime", "limit", "linen", "lion",
    "lioness", "liquid", "list", "listen", "little", "lively", "lizard", "llama", "load", "loaf", "lobby",
    "lobster", "local", "locket", "lodge", "lofty", "logic", "long", "look", "lookout", "lottery", "lotus",
    "love", "loyal", "lucky", "lullaby", "lumpy", "lunar", "luxury", "lyric", "machine", "magenta", "magic",
    "magnet", "magpie", "mailbox", "mailman", "major", "mallet", "mammal", "mammoth", "manager", "mango",
    "manor", "mansion", "map", "maple", "marble", "margin", "marina", "marker", "market", "marsh", "mascot",
    "mask", "mason", "master", "mat", "matter", "maximum", "meadow", "meal", "media", "medic", "melody",
    "melon", "member", "memory", "mend", "mention", "mentor", "menu", "mercy", "mermaid", "merry", "message",
    "messy", "meteor", "method", "metro", "midday", "middle", "midway", "mighty", "mild", "milk", "mill",
    "mimic", "mine", "mineral", "mink", "mint", "miracle", "mirage", "mirror", "miss", "mission", "mitten",
    "mix", "mixture", "mobile", "mocha", "model", "modern", "modest", "module", "moist", "mole", "moment",
    "monarch", "monitor", "monkey", "monsoon", "monster", "month", "mood", "moonlit", "moose", "mop",
    "mosaic", "mother", "motion", "motive", "motor", "mouth", "movie", "mud", "muffin", "mug", "museum",
    "music", "mustang", "mustard", "mystery", "myth", "nacho", "name", "nanny", "napkin", "narrow", "nation",
    "native", "natural", "nature", "neat", "neck", "necktie", "nectar", "need", "needle", "nerve", "nervous",
    "network", "neutral", "newt", "next", "nice", "nickel", "nimble", "noble", "nod", "noise", "nomad",
    "normal", "north", "note", "notice", "novel", "nugget", "numb", "number", "nurse", "nursery", "nutmeg",
    "oasis", "oatmeal", "obey", "ocean", "octave", "octopus", "odd", "offer", "office", "olive", "onion",
    "opal", "open", "opener", "opera", "option", "oracle", "orange", "orbit", "orchard", "orchid", "organ",
    "organic", "origin", "ostrich", "otter", "outcome", "outfit", "outlet", "outpost", "oval", "oven",
    "overlap", "own", "oxygen", "oyster", "paddle", "page", "paint", "palace", "palm", "pan", "pancake",
    "panda", "panel", "panic", "panther", "pantry", "papaya", "paper", "parade", "paradox", "parcel",
    "parent", "parka", "parrot", "parsley", "partner", "party", "pass", "passage", "pasta", "pastry",
    "pasture", "path", "patient", "patio", "patrol", "pattern", "pause", "paw", "payday", "peacock", "peanut",
    "pearl", "pebble", "pecan", "pedal", "peel", "pelican", "pencil", "pendant", "penguin", "penny", "people",
    "pepper", "percent", "perch", "perfect", "perfume", "period", "person", "phantom", "phone", "photo",
    "phrase", "piano", "pick", "pickle", "picnic", "pigeon", "pilgrim", "pillow", "pilot", "pinball", "pinch",
    "pine", "pioneer", "pipe", "pirate", "pitcher", "pixel", "pizza", "planet", "plasma", "plaster", "plate",
    "plateau", "platter", "play", "playful", "plaza", "plead", "please", "plug", "plumber", "plump", "pocket",
    "podium", "poem", "poet", "point", "pointer", "polar", "police", "policy", "polish", "polite", "polka",
    "pollen", "pond", "pony", "poodle", "pool", "pop", "popcorn", "poppy", "popular", "porch", "pork", "port",
    "portal", "porter", "portion", "poster", "potato", "pottery", "pouch", "powder", "prairie", "praise",
    "premium", "press", "pretend", "pretzel", "preview", "primate", "prime", "printer", "prism", "privacy",
    "prize", "problem", "process", "promise", "proof", "proper", "protect", "protein", "proud", "prune",
    "publish", "pudding", "puddle", "puffin", "pulse", "pumpkin", "pupil", "puppet", "pure", "purpose",
    "puzzle", "pyramid", "python", "quail", "quality", "quarry", "quarter", "quartet", "quartz", "queen",
    "quest", "quick", "quiet", "quilt", "quiver", "quiz", "rabbit", "raccoon", "radar", "radio", "radish",
    "raffle", "railway", "rainbow", "rainy", "raisin", "ranger", "rapid", "rare", "rattle", "raven", "ravine",
    "reach", "ready", "realm", "reason", "recall", "receipt", "recipe", "recital", "reef", "refuge", "region",
    "relax", "relay", "relic", "relief", "remain", "remark", "remedy", "remind", "remote", "rental", "repair",
    "repeat", "replica", "reply", "report", "reptile", "rescue", "reserve", "resort", "respect", "rest",
    "result", "retire", "retreat", "return", "rib", "ribbon", "rice", "rich", "ridge", "rigid", "rinse",
    "ripe", "river", "roadway", "roam", "roar", "robe", "robin", "robot", "rock", "rodeo", "rooftop", "room",
    "rooster", "rose", "rosebud", "rough", "round", "rowboat", "royalty", "rub", "ruffle", "rug", "rugby",
    "rule", "run", "runway", "rural", "rustic", "sad", "saddle", "safe", "safety", "sailor", "salad",
    "salmon", "salsa", "salt", "samba", "same", "sample", "sandal", "sandbox", "sardine", "satin", "satire",
    "saucer", "sausage", "savanna", "saw", "scale", "scanner", "scarf", "scarlet", "scenery", "scenic",
    "scheme", "scholar", "school", "science", "scone", "scooter", "scout", "scrap", "scream", "screen",
    "script", "scrub", "seafood", "seal", "search", "seaside", "season", "seaweed", "second", "secret",
    "sector", "sedan", "seek", "seesaw", "segment", "seminar", "senior", "sense", "sequel", "serene",
    "series", "serious", "serpent", "serve", "sesame", "session", "setting", "settle", "shadow", "shaggy",
    "shake", "shampoo", "shape", "share", "shark", "sharp", "shave", "shed", "sheep", "shelf", "shelter",
    "sheriff", "shield", "shift", "shine", "ship", "shirt", "shiver", "shore", "short", "shout", "shovel",
    "show", "shower", "shrimp", "shrug", "shuttle", "shy", "sidecar", "sigh", "signal", "silence", "silent",
    "silk", "silly", "silo", "silver", "simple", "sink", "siren", "sister", "sit", "size", "skate", "sketch",
    "skill", "skillet", "skin", "skip", "skull", "skunk", "sky", "skyline", "sled", "sleep", "sleeve",
    "slide", "slim", "slip", "slipper", "slogan", "slow", "slug", "slumber", "small", "smart", "smile",
    "smoke", "smooth", "snail", "snake", "sneeze", "sniff", "snore", "snorkel", "snow", "snowman", "soak",
    "soccer", "society", "socket", "soda", "sofa", "soft", "solar", "soldier", "solid", "solo", "solve",
    "song", "sonnet", "sound", "soup", "sour", "source", "south", "space", "spade", "spare", "spark",
    "sparkle", "sparrow", "speak", "speech", "speed", "spell", "spend", "sphere", "spicy", "spider", "spin",
    "spinach", "spinner", "spiral", "spirit", "splash", "sponge", "spoon", "spot", "spray", "spring",
    "sprint", "sprout", "spruce", "square", "squash", "squeeze", "squid", "stable", "stack", "stadium",
    "staff", "stage", "stagger", "stamp", "stapler", "start", "station", "statue", "status", "stay", "steady",
    "steamer", "steep", "steer", "stew", "sticker", "sticky", "stiff", "still", "stir", "stone", "stool",
    "stop", "stopper", "storage", "store", "stork", "storm", "story", "stove", "strand", "straw", "stream",
    "street", "stretch", "strict", "string", "stroll", "strong", "studio", "stuff", "sturdy", "style",
    "subject", "subtle", "suburb", "sudden", "sugar", "suggest", "summer", "summit", "sunbeam", "sunny",
    "sunrise", "sunset", "supper", "supply", "support", "surf", "surplus", "survey", "swallow", "swamp",
    "swan", "sway", "sweater", "sweep", "sweet", "swift", "swim", "swimmer", "swing", "switch", "syrup",
    "system", "tablet", "tackle", "taco", "tactic", "tadpole", "tailor", "talent", "talk", "tall", "tame",
    "tan", "tango", "tape", "target", "task", "taste", "tavern", "taxi", "teach", "teacup", "team", "teapot",
    "temple", "tempo", "tender", "tennis", "tent", "term", "terrace", "test", "text", "textile", "thank",
    "thaw", "theme", "theory", "thick", "thing", "thinker", "thorn", "thought", "thread", "throw", "thumb",
    "thunder", "tickle", "tidy", "tie", "tiger", "tight", "timber", "tip", "tired", "title", "toad", "toast",
    "today", "toddler", "toffee", "tofu", "token", "tomato", "tongue", "tonight", "tooth", "topaz", "topic",
    "torch", "tornado", "toss", "total", "touch", "tour", "tourism", "tourist", "towel", "toy", "trace",
    "track", "tractor", "trade", "traffic", "trail", "trailer", "transit", "travel", "tray", "treat", "tree",
    "treetop", "trend", "tribe", "trick", "tripod", "trolley", "trophy", "trout", "truck", "true", "trumpet",
    "trust", "truth", "tuba", "tug", "tugboat", "tulip", "tuna", "tundra", "tunnel", "turbine", "turkey",
    "turn", "turnip", "turtle", "tutor", "tuxedo", "twig", "twin", "twist", "twister", "type", "typhoon",
    "ukulele", "umpire", "uncle", "unfold", "unicorn", "uniform", "unique", "unite", "unlock", "upbeat",
    "update", "upgrade", "upright", "urban", "urgent", "useful", "usual", "utensil", "vaccine", "vague",
    "valid", "valley", "value", "valve", "vanilla", "vast", "vault", "veal", "vehicle", "velvet", "venture",
    "veranda", "verdict", "verse", "version", "vessel", "vet", "veteran", "victory", "video", "view", "villa",
    "village", "vinegar", "vintage", "violet", "violin", "virtue", "visible", "vision", "visit", "visitor",
    "vista", "vitamin", "vivid", "vocal", "voice", "volcano", "volley", "voltage", "volume", "voyage",
    "vulture", "wade", "wafer", "waffle", "wage", "wagon", "waiter", "walk", "walkway", "wall", "wallet",
    "walnut", "walrus", "waltz", "wand", "wander", "warden", "warm", "warmth", "warrior", "wash", "washer",
    "wasp", "watch", "wealth", "weary", "weasel", "weave", "wedding", "weekend", "welfare", "west", "western",
    "whale", "wheat", "wheel", "whisker", "whisper", "whistle", "white", "wide", "widget", "wiggle", "wild",
    "wildcat", "willow", "window", "windy", "wink", "winter", "wire", "wisdom", "wise", "wish", "witness",
    "witty", "wizard", "wobble", "wolf", "woman", "wombat", "wonder", "wooden", "work", "workday", "workout",
    "world", "worm", "worry", "worth", "wrench", "wrist", "yak", "yard", "yawn", "year", "yell", "yield",
    "young", "youth", "zany", "zebra", "zigzag", "zinc", "zipper", "zodiac", "zone", "zoom",
};

namespace {

const char kPlatePersonal[] = "tqr plate key 1";
constexpr size_t kPlateKeyBytes = 32;
constexpr size_t kMaxNameplateDigits = 6;
static_assert(sizeof kPlatePersonal <= crypto_generichash_blake2b_PERSONALBYTES, "personalisation fits");

bool word_less(const char* word, const std::string& key) { return key.compare(word) > 0; }

bool listed(const std::string& word) {
    const char* const* end = g_code_words + kCodeWordCount;
    const char* const* found = std::lower_bound(g_code_words, end, word, word_less);
    return found != end && word == *found;
}

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_separator(char c) { return c == '-' || is_blank(c); }

}  // namespace

std::string make_code(size_t words) {
    ensure_sodium();
    return make_code_with_nameplate(1 + randombytes_uniform(kMaxDrawnNameplate), words);
}

std::string make_code_with_nameplate(unsigned nameplate, size_t words) {
    if (nameplate < 1 || nameplate > kMaxNameplate || words < kMinCodeWords || words > kMaxCodeWords) return "";
    ensure_sodium();
    std::string code = std::to_string(nameplate);
    for (size_t i = 0; i < words; ++i)
        code += std::string("-") + g_code_words[randombytes_uniform(static_cast<uint32_t>(kCodeWordCount))];
    return code;
}

bool parse_code(const std::string& typed, Code* out) {
    size_t begin = 0, end = typed.size();
    while (begin < end && is_blank(typed[begin])) ++begin;
    while (end > begin && is_blank(typed[end - 1])) --end;
    // Blanks are trimmed, so a separator at either end is a hyphen: a part is missing there.
    std::vector<std::string> parts;
    for (size_t at = begin; at < end;) {
        size_t stop = at;
        while (stop < end && !is_separator(typed[stop])) ++stop;
        if (stop == at) return false;
        parts.push_back(typed.substr(at, stop - at));
        at = stop;
        while (at < end && is_separator(typed[at])) ++at;
        if (at == end && stop != end) return false;
    }
    if (parts.size() < 1 + kMinCodeWords || parts.size() > 1 + kMaxCodeWords) return false;

    const std::string& plate = parts[0];
    if (plate.size() > kMaxNameplateDigits || plate[0] == '0') return false;
    unsigned nameplate = 0;
    for (char c : plate) {
        if (c < '0' || c > '9') return false;
        nameplate = nameplate * 10 + static_cast<unsigned>(c - '0');
    }
    Code code;
    code.nameplate = nameplate;
    code.text = plate;
    for (size_t i = 1; i < parts.size(); ++i) {
        code.words.push_back(lower(parts[i]));
        if (!listed(code.words.back())) return false;
        code.text += "-" + code.words.back();
    }
    *out = code;
    return true;
}

std::vector<std::string> words_starting_with(const std::string& prefix) {
    std::string key = lower(prefix);
    std::vector<std::string> found;
    const char* const* end = g_code_words + kCodeWordCount;
    for (const char* const* at = std::lower_bound(g_code_words, end, key, word_less);
         at != end && strncmp(*at, key.c_str(), key.size()) == 0; ++at)
        found.push_back(*at);
    return found;
}

std::string complete_code(const std::string& typed, std::vector<std::string>* choices) {
    choices->clear();
    size_t start = typed.size();
    while (start > 0 && !is_separator(typed[start - 1])) --start;
    if (start == 0 || start == typed.size()) return typed;
    std::vector<std::string> found = words_starting_with(typed.substr(start));
    if (found.empty()) return typed;
    // The list is sorted: what its first and last match share, all of them share.
    const std::string &first = found.front(), &last = found.back();
    size_t common = 0;
    while (common < first.size() && common < last.size() && first[common] == last[common]) ++common;
    std::string completed = typed.substr(0, start) + first.substr(0, common);
    if (found.size() == 1) {
        size_t parts = 0;
        for (size_t i = 0; i < start; ++i) parts += !is_separator(typed[i]) && (i == 0 || is_separator(typed[i - 1]));
        return parts < kCodeWordsPerCode ? completed + "-" : completed;
    }
    if (common == typed.size() - start) *choices = found;
    return completed;
}

namespace {

constexpr size_t kFarthestSuggested = 2;

// The optimal-string-alignment distance between `a` and `b`, or kFarthestSuggested + 1 for anything
// farther: lengths that differ by more cannot come nearer.
size_t distance(const std::string& a, const std::string& b) {
    size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) > kFarthestSuggested) return kFarthestSuggested + 1;
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return std::min(d[n][m], kFarthestSuggested + 1);
}

// "a, b or c": `items` as a person says them.
std::string spoken_list(const std::vector<std::string>& items, const char* last_joint) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "" : i + 1 == items.size() ? last_joint : ", ") + items[i];
    return text;
}

}  // namespace

std::vector<std::string> nearest_words(const std::string& word, size_t most) {
    std::string key = lower(word);
    std::vector<std::pair<size_t, const char*>> found;
    for (const char* listed_word : g_code_words) {
        size_t d = distance(key, listed_word);
        if (d >= 1 && d <= kFarthestSuggested) found.emplace_back(d, listed_word);
    }
    // The list is sorted, so a stable sort by distance keeps equals in alphabetical order.
    std::stable_sort(found.begin(), found.end(),
                     [](const std::pair<size_t, const char*>& x, const std::pair<size_t, const char*>& y) {
                         return x.first < y.first;
                     });
    // Only the nearest: one slip away, the words two slips away only mislead.
    std::vector<std::string> nearest;
    for (size_t i = 0; i < found.size() && i < most && found[i].first == found[0].first; ++i)
        nearest.push_back(found[i].second);
    return nearest;
}

std::string code_mistake(const std::string& typed) {
    Code code;
    if (parse_code(typed, &code)) return "";
    const std::string shape = "a number and two to eight words of the list, as in 7-guitar-ocean-tulip";
    std::vector<std::string> parts;
    std::string part;
    for (char c : typed + " ") {
        if (!is_separator(c)) {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    if (parts.empty()) return "that is not a code: " + shape;
    if (parts.size() < 1 + kMinCodeWords || parts.size() > 1 + kMaxCodeWords)
        return "a code is " + shape + "; that has " + std::to_string(parts.size()) + " parts";
    const std::string& plate = parts[0];
    bool digits = plate.size() <= kMaxNameplateDigits && plate[0] != '0' &&
                  std::all_of(plate.begin(), plate.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        return plate + " is not the code's number: it starts with a number from 1 to " +
               std::to_string(kMaxNameplate) + " without leading zeros, as in 7-guitar-ocean-tulip";
    std::vector<std::string> wrong, guesses;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (listed(lower(parts[i]))) continue;
        wrong.push_back(parts[i]);
        std::vector<std::string> near = nearest_words(parts[i]);
        if (!near.empty()) guesses.push_back(parts[i] + ": " + spoken_list(near, " or ") + "?");
    }
    // Only a hyphen at either end is left: the parts are right, their separators not.
    if (wrong.empty()) return "that is not a code: " + shape;
    if (wrong.size() == 1) {
        std::vector<std::string> near = nearest_words(wrong[0]);
        return wrong[0] + " is not a word of the code list" +
               (near.empty() ? "" : "; did you mean " + spoken_list(near, " or ") + "?");
    }
    std::string line = spoken_list(wrong, " and ") + " are not words of the code list";
    for (size_t i = 0; i < guesses.size(); ++i) line += (i == 0 ? " (" : " ") + guesses[i];
    if (!guesses.empty()) line += ")";
    return line;
}

std::string code_password(const Code& code) {
    std::string password = code.words[0];
    for (size_t i = 1; i < code.words.size(); ++i) password += "-" + code.words[i];
    return password;
}

std::string conference_of(unsigned nameplate) { return "tqr-code-" + std::to_string(nameplate); }

std::string nameplate_check_key(unsigned nameplate) {
    ensure_sodium();
    std::string conference = conference_of(nameplate);
    unsigned char personal[crypto_generichash_blake2b_PERSONALBYTES] = {};
    memcpy(personal, kPlatePersonal, strlen(kPlatePersonal));
    unsigned char key[kPlateKeyBytes];
    crypto_generichash_blake2b_salt_personal(key, sizeof key, reinterpret_cast<const unsigned char*>(conference.data()),
                                             conference.size(), nullptr, 0, nullptr, personal);
    char hex[2 * kPlateKeyBytes + 1];
    sodium_bin2hex(hex, sizeof hex, key, sizeof key);
    return hex;
}

}  // namespace tqr
