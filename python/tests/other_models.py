import replikon

from_other = []


@replikon.persistent
class Fore:
    def __init__(self):
        from_other.append("Fore")
